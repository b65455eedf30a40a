// A stand-in for an Ethernet receipt printer that keeps every byte it is sent.
//   kv_testprinter DIR NAME...
// Each NAME listens on a loopback port ("NAME PORT" lines in DIR/ports once
// all listen). A connection is one job: when the sender closes it, its bytes
// go to DIR/NAME/all.bin, then to DIR/NAME/job-NNNNNN.bin (renamed into
// place, so a job file that exists is complete). Runs until SIGTERM/SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

struct Queue {
    std::string name;
    std::string dir;
    int listenFd = -1;
    int port = 0;
    int jobs = 0;
};

struct Connection {
    int fd = -1;
    std::size_t queue = 0;
    std::string bytes;
};

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "kv_testprinter: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

bool writeFile(const std::string &path, const std::string &bytes, std::ios::openmode mode)
{
    std::ofstream out(path, std::ios::binary | mode);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}

// all.bin first: a test that sees N job files finds all N jobs in all.bin.
void storeJob(Queue &q, const std::string &bytes)
{
    ++q.jobs;
    char name[32];
    std::snprintf(name, sizeof name, "job-%06d.bin", q.jobs);
    const std::string final = q.dir + "/" + name;
    const std::string part = final + ".part";
    if (!writeFile(q.dir + "/all.bin", bytes, std::ios::app) || !writeFile(part, bytes, std::ios::trunc) ||
        std::rename(part.c_str(), final.c_str()) != 0)
        std::fprintf(stderr, "kv_testprinter: could not record job %d of %s\n", q.jobs, q.name.c_str());
}

int listenOnLoopback(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        die("listen on loopback");
    port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: kv_testprinter DIR NAME...\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<Queue> queues;
    for (int i = 2; i < argc; ++i) {
        Queue q;
        q.name = argv[i];
        q.dir = dir + "/" + q.name;
        if (::mkdir(q.dir.c_str(), 0755) != 0 && errno != EEXIST)
            die("mkdir " + q.dir);
        q.listenFd = listenOnLoopback(q.port);
        queues.push_back(q);
    }

    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string ports;
    for (const Queue &q : queues)
        ports += q.name + " " + std::to_string(q.port) + "\n";
    if (!writeFile(dir + "/ports.part", ports, std::ios::trunc) ||
        std::rename((dir + "/ports.part").c_str(), (dir + "/ports").c_str()) != 0)
        die("write ports");

    std::vector<Connection> connections;
    while (!g_stop) {
        std::vector<pollfd> fds;
        for (const Queue &q : queues)
            fds.push_back({q.listenFd, POLLIN, 0});
        for (const Connection &c : connections)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 1000) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        for (std::size_t i = 0; i < queues.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const int fd = ::accept4(queues[i].listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                connections.push_back({fd, i, {}});
        }
        // Connections accepted above are polled from the next round on.
        for (std::size_t i = queues.size(); i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            Connection &c = connections[i - queues.size()];
            char buf[65536];
            const ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n > 0) {
                c.bytes.append(buf, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            storeJob(queues[c.queue], c.bytes);
            ::close(c.fd);
            c.fd = -1;
        }
        std::erase_if(connections, [](const Connection &c) { return c.fd < 0; });
    }
    // A job still open at shutdown is kept as far as it came.
    for (Connection &c : connections) {
        storeJob(queues[c.queue], c.bytes);
        ::close(c.fd);
    }
    return 0;
}
