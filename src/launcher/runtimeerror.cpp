#include "launcher/runtimeerror.h"

#include "station/odbc.h"

#include <new>
#include <system_error>

namespace kv {

namespace {

// Run-time error numbers for failures that carry none of their own.
constexpr int kOutOfMemory = 7;
constexpr int kInvalidCall = 5;

} // namespace

std::optional<RunTimeError> runTimeErrorOf(std::exception_ptr thrown)
{
    try {
        std::rethrow_exception(thrown);
    } catch (const odbc::Error &e) {
        return RunTimeError{e.number(), e.description()};
    } catch (const std::system_error &e) {
        return RunTimeError{e.code().value(), QString::fromLocal8Bit(e.what())};
    } catch (const std::bad_alloc &) {
        return RunTimeError{kOutOfMemory, QStringLiteral("Out of memory")};
    } catch (const std::exception &e) {
        return RunTimeError{kInvalidCall, QString::fromLocal8Bit(e.what())};
    } catch (...) {
    }
    return std::nullopt;
}

QString runTimeErrorText(const RunTimeError &error)
{
    return QStringLiteral("Run-time error '%1':\r\n\r\n%2").arg(error.number).arg(error.description);
}

void RunTimeErrors::swallow(const char *where)
{
    const std::optional<RunTimeError> error = runTimeErrorOf(std::current_exception());
    m_log.error(QStringLiteral("run-time error in %1, the database connection is checked: %2")
                    .arg(QLatin1String(where), error ? error->description : QStringLiteral("unknown")));
    m_watchdog.testDatabaseConnection(m_settings);
}

bool RunTimeErrors::reporting(const std::function<void()> &step)
{
    try {
        step();
        return true;
    } catch (...) {
        const std::optional<RunTimeError> error = runTimeErrorOf(std::current_exception());
        if (!error)
            throw;
        // Waits: in start-up the launcher ends after it, and a menu
        // command's box runs the loop's passes in its own event loop.
        m_boxes.ask(runTimeErrorText(*error), MsgButtons::OK, 1, MsgIcon::Critical);
    }
    return false;
}

} // namespace kv
