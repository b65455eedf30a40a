#include "launcher/findingshandler.h"

#include <exception>
#include <optional>

namespace kv {

bool FindingsHandler::actOnFindings()
{
    if (!m_state.escPosEnabled || m_library.busy())
        return true;
    while (std::optional<LibraryFindings> found = m_library.takeFindings()) {
        if (!actOn(*found) || m_state.ended)
            return false;
    }
    return true;
}

bool FindingsHandler::actOn(const LibraryFindings &found)
{
    if (found.error) {
        // A run-time error of the job is the tick's.
        try {
            std::rethrow_exception(found.error);
        } catch (...) {
            m_errors.swallow("the client library's work");
        }
        return false;
    }
    m_log.write(found);
    if (found.pass) {
        // The default printer's name, when the pass was given none.
        if (m_state.shellConf.esc_printer.isEmpty())
            m_state.shellConf.esc_printer = found.pass->printerName;
        // Told for the pass a notification asked for, whose receipt the
        // cashier waits for; the retries are the launcher's own business. The
        // box does not hold the loop: retries, checks and supervision go on
        // behind it.
        if (!found.pass->printerOpened && found.pass->queryRan && found.cause == PassCause::Notification)
            m_boxes.tell(QStringLiteral("Could not connect to the printer."), MsgIcon::Critical);
    }
    // Another "shutdown" while the question waits raises it: one answer.
    if (found.notifications.contains(QStringLiteral("shutdown")))
        m_boxes.askLater(QStringLiteral("Do you want to keep all supporting programs open?"), MsgIcon::Question,
                         OpenQuestions::Step::Notification, [this](MsgResult answer) {
                             if (answer == MsgResult::No)
                                 m_state.quitLauncher();
                             else
                                 m_state.keepLauncherWithoutFrontEnd();
                             return true;
                         });
    return true;
}

} // namespace kv
