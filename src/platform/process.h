// Child processes and the process table, as the launcher needs them: start a
// program with its output captured, poll that output without blocking, end it,
// and look other processes up by their executable. Standard library only; a
// Windows implementation would sit beside posix/ behind the same classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform {

// Splits a command line into arguments at blanks and tabs. A double quote
// starts or ends a group in which blanks belong to the argument; the quotes
// themselves are dropped, and "" gives an empty argument. No other character
// is special: there is no shell between the launcher and its programs.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// Which of the child's streams go into the one capture pipe.
struct Capture {
    bool standardOutput = true;
    bool standardError = false;
};

// How a child ended.
struct ExitStatus {
    bool bySignal = false;
    int code = 0; // the exit status, or the signal's number
};

// "exited with status 3", "ended by signal 11 (SIGSEGV)".
std::string describe(const ExitStatus &status);

// A started child. The launcher holds only the read end of its output pipe.
class Child {
public:
    enum class ReadResult {
        Data,     // `got` bytes were read
        Nothing,  // nothing waiting, the pipe is still open
        Closed,   // every holder of the write end is gone (or reading failed);
                  // a child that runs on without its output is collected
                  // in the background when it ends
    };

    // Leaves a running child running. It is still collected when it ends,
    // and the pipe is drained until every holder has let go of it, so
    // nothing the child started dies of a closed pipe. One thread does this
    // for every child and pipe let go of, however many there are.
    virtual ~Child() = default;
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Reads what is waiting, at most `capacity` bytes; never blocks.
    virtual ReadResult read(char *buffer, std::size_t capacity, std::size_t &got) = 0;

    // The child's process id as started; it stays readable after the child
    // has been reaped, but is then only a number.
    virtual int pid() const = 0;

    // Ends the direct child at once (its own children keep running). Does
    // nothing and returns false once the child has been reaped, so a
    // process id reused by the system is never hit.
    virtual bool kill() = 0;

    // Collects the exit status if the child has ended, without waiting.
    // True once the child has been reaped.
    virtual bool reap() = 0;

    // How the child ended, once this object has reaped it; nothing while it
    // runs, or when its end was collected elsewhere.
    virtual std::optional<ExitStatus> exitStatus() const { return std::nullopt; }

    // Something an event loop can wait on that turns ready when read() has
    // news (output, or the end), so that the launcher sleeps until then
    // instead of polling: on POSIX a descriptor (the pipe's read end, or the
    // pidfd of a followed process) that turns readable, on Windows it would
    // be a handle that turns signalled. It is a duplicate the caller owns and
    // gives back through closeWaitHandle, so that read() may let go of its
    // own at any time. kNoWaitHandle when there is none: then the caller
    // polls.
    virtual std::intptr_t newWaitHandle() const { return kNoWaitHandle; }
    static constexpr std::intptr_t kNoWaitHandle = -1;
};

// Gives back a handle from Child::newWaitHandle.
void closeWaitHandle(std::intptr_t handle);

// Why a start failed, for the caller's message.
struct SpawnError {
    enum class Stage {
        Pipe,   // the capture pipe could not be made; nothing was tried
        Start,  // the program could not be started
    };
    Stage stage = Stage::Start;
    int code = 0;             // errno-style value
    std::string description;  // the system's text for it
};

class ChildSpawner {
public:
    virtual ~ChildSpawner() = default;

    // Starts argv[0] (searched on PATH when it holds no "/"; a relative path
    // counts from workingDir) with the given arguments and working directory,
    // standard input from /dev/null and the captured streams into one pipe.
    // Returns null and fills `error` when the program could not be started.
    // The child inherits no descriptor of the launcher besides its three
    // standard ones.
    virtual std::unique_ptr<Child> spawn(const std::vector<std::string> &argv,
                                         const std::string &workingDir, Capture capture,
                                         SpawnError &error) = 0;
};

// Where a running process comes from.
struct ProcessOrigin {
    int parentPid = 0;
    // When it started, in the system's own units (clock ticks since boot):
    // with the pid it names one process for good, since a pid the system
    // hands out again comes with a later start.
    std::uint64_t startTime = 0;
};

// The processes of the machine.
class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    virtual int ownPid() const = 0;

    // Every process id, in the order the system lists them.
    virtual std::vector<int> listPids() const = 0;

    // The full path of a process's executable as the system reports it (links
    // resolved), or nothing when it cannot be read: a process of another user,
    // a kernel thread, a zombie, or one that is gone. A path whose file was
    // replaced or deleted since the start carries " (deleted)" on Linux.
    virtual std::optional<std::string> executableOf(int pid) const = 0;

    // The arguments a process was started with, argv[0] first; empty when
    // they cannot be read.
    virtual std::vector<std::string> argumentsOf(int pid) const = 0;

    // True when the process belongs to the user the launcher runs as.
    virtual bool ownedByCurrentUser(int pid) const = 0;

    // The processes whose executable is the file `path`, in list order:
    // executableOf() equal to it, a " (deleted)" mark on either side not
    // counted (a file replaced since it was started is still that program).
    // This reads every process; the system's table reads them all only when
    // the file may have been started since its last answer for that path,
    // and otherwise looks again only at the processes it found then.
    virtual std::vector<int> processesRunning(const std::string &path) const;

    // Ends a process at once. Any pid of 0 or below is refused (false) without
    // sending anything: to the system those name whole groups of processes.
    virtual bool terminate(int pid) = 0;

    // The parent and start of a running process; nothing when it is gone,
    // unreadable, or has ended and only waits to be collected (a zombie).
    virtual std::optional<ProcessOrigin> originOf(int pid) const = 0;

    // The current directory of a process (links resolved), against which the
    // relative paths among its arguments count; nothing when it cannot be
    // read (another user's process, or one that is gone).
    virtual std::optional<std::string> workingDirectoryOf(int pid) const = 0;

    // Follows a process the launcher did not start: the one `pid` names while
    // its start is `startTime` (originOf). It has no output to read: read()
    // says Nothing while it runs and Closed once it has ended (its parent
    // need not have collected it yet); kill() ends it, and never another
    // process that was given the same pid later. Null when that process is
    // no longer there.
    virtual std::unique_ptr<Child> follow(int pid, std::uint64_t startTime) = 0;
};

// Linux marks the executable of a process whose file has been replaced or
// deleted since its start with " (deleted)"; the path without that mark.
std::string_view withoutDeletedMark(std::string_view path);

// Starts a program that is to outlive the launcher (the update script, which
// replaces the launcher's own files): in a session of its own, with standard
// input from /dev/null, standard output and error shared with the launcher,
// default signal handling and no other descriptor of the launcher. It is
// never the launcher's child, so it is never left a zombie and never waited
// for. argv[0] must be an absolute path. `environment` ("NAME=value") is
// added to the launcher's own, in the place of a variable of the same name:
// a secret there is readable to the program's user alone, where any user of
// the machine reads a command line. Returns the program's process id, or -1
// with `error` filled when it could not be started.
int startDetached(const std::vector<std::string> &argv, const std::string &workingDir, SpawnError &error,
                  const std::vector<std::string> &environment = {});

// The running system's implementations; they hold no state of their own.
ChildSpawner &systemSpawner();
ProcessTable &systemProcessTable();

// The running system's process table with the one call that sends a signal,
// kill(2), replaced by `send` (same arguments and result), so that a test can
// see what would be sent to whom without sending anything.
std::unique_ptr<ProcessTable> systemProcessTableSendingThrough(std::function<int(int pid, int signal)> send);

} // namespace kv::platform
