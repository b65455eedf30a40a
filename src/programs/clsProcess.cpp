#include "programs/clsProcess.h"

#include "core/textconv.h"

#include <cstdio>
#include <stdexcept>

namespace kv {
namespace {

// How many bytes at the end of `p` start a UTF-8 character that is not
// complete yet. Anything malformed counts as complete so that the decoder
// replaces it now instead of holding it back.
std::size_t incompleteTail(const char *p, std::size_t n)
{
    const std::size_t look = n < 3 ? n : 3;
    for (std::size_t back = 1; back <= look; ++back) {
        const auto b = static_cast<unsigned char>(p[n - back]);
        if ((b & 0xC0) == 0x80)
            continue; // continuation byte: keep looking for the lead
        std::size_t need = 1;
        if ((b & 0xE0) == 0xC0)
            need = 2;
        else if ((b & 0xF0) == 0xE0)
            need = 3;
        else if ((b & 0xF8) == 0xF0)
            need = 4;
        return need > back ? back : 0;
    }
    return 0;
}

// For whoever looks into a failed start later: the message box cannot say
// why, the system's reason can.
QString startFailure(const QString &what, const platform::SpawnError &error)
{
    // errno 0 would read "Success"; a reason nobody gave is unknown.
    const QString reason = error.code != 0 && !error.description.empty()
                               ? QString::fromStdString(error.description)
                               : QStringLiteral("unknown");
    return what + QStringLiteral(" Reason: ") + reason;
}

} // namespace

clsProcess::clsProcess(Prompter &prompter, platform::ChildSpawner &spawner)
    : m_prompter(prompter), m_spawner(spawner)
{
}

clsProcess::~clsProcess()
{
    pReady = false;
}

void clsProcess::Init(const QString &sCommandLine, const QString &sWorkingDir, bool blnStdOut,
                      bool blnStdErr, bool blnOEMConvert)
{
    Q_UNUSED(blnOEMConvert);
    if (pReady)
        return;
    outText.clear();
    if (!blnStdOut && !blnStdErr)
        throw std::invalid_argument("Invalid procedure call or argument");

    // The previous run ended or was marked handled: let go of it (without
    // stopping a child that may still be running) before starting anew.
    m_child.reset();
    m_adopted = false;
    m_startError.clear();
    m_partial.clear();
    m_buffer.resize(qsizetype(kReadSize));

    platform::SpawnError error;
    m_child = m_spawner.spawn(platform::splitCommandLine(text::toUtf8(sCommandLine)),
                              text::toUtf8(sWorkingDir), {blnStdOut, blnStdErr}, error);
    if (!m_child) {
        const QString target = sCommandLine + QStringLiteral(" in ") + sWorkingDir + QStringLiteral(".");
        if (error.stage == platform::SpawnError::Stage::Pipe) {
            // No box for this one: the launcher itself is short of resources,
            // which no one at the till can act on; the caller retries.
            m_startError =
                startFailure(QStringLiteral("Failed to create the output pipe for process: ") + target, error);
        } else {
            const QString text = QStringLiteral("Failed to create process: ") + target;
            m_startError = startFailure(text, error);
            MessageBox box;
            box.text = text;
            box.title = QStringLiteral("Korvantis Launcher");
            box.buttons = MsgButtons::OK;
            box.icon = MsgIcon::Exclamation;
            box.systemModal = true;
            // Shown without waiting: the caller is start-up or a tick, and the
            // till's other programs, receipts and checks go on behind it. A
            // program that fails again while its box is up raises that box.
            m_prompter.showMessage(box);
        }
        return;
    }
    ++m_runs;
    pReady = true;
}

bool clsProcess::adopt(std::unique_ptr<platform::Child> process)
{
    if (pReady || !process)
        return false;
    outText.clear();
    m_startError.clear();
    m_partial.clear();
    m_buffer.resize(qsizetype(kReadSize));
    m_child = std::move(process);
    m_adopted = true;
    ++m_runs;
    pReady = true;
    return true;
}

QString clsProcess::getOutput()
{
    if (!pReady)
        return QString();
    if (!m_child) {
        pReady = false;
        return QString();
    }
    std::size_t got = 0;
    switch (m_child->read(m_buffer.data(), kReadSize, got)) {
    case platform::Child::ReadResult::Nothing:
        return QString();
    case platform::Child::ReadResult::Closed:
        pReady = false;
        // A character cut off by the end of the output is shown as what it
        // is, one broken character, rather than dropped (or taken for as
        // many broken ones as it had bytes).
        if (!m_partial.isEmpty()) {
            appendToOutText(QString(QChar::ReplacementCharacter));
            m_partial.clear();
        }
        return QString();
    case platform::Child::ReadResult::Data:
        break;
    }
    const QString chunk = decode(m_buffer.constData(), got);
    appendToOutText(chunk);
    return chunk;
}

void clsProcess::killProcess()
{
    pReady = false;
    outText.clear();
    if (m_child) {
        m_child->kill();
        m_child.reset();
    }
    m_partial.clear();
}

QString clsProcess::endDescription() const
{
    if (pReady || !m_child)
        return QString();
    const std::optional<platform::ExitStatus> status = m_child->exitStatus();
    return status ? QString::fromStdString(platform::describe(*status)) : QString();
}

int clsProcess::processId() const
{
    return m_child ? m_child->pid() : 0;
}

QString clsProcess::decode(const char *bytes, std::size_t n)
{
    m_partial.append(bytes, qsizetype(n));
    const std::size_t whole = std::size_t(m_partial.size())
                              - incompleteTail(m_partial.constData(), std::size_t(m_partial.size()));
    const QString text = text::fromUtf8(std::string_view(m_partial.constData(), whole));
    m_partial.remove(0, qsizetype(whole));
    return text;
}

void clsProcess::appendToOutText(const QString &chunk)
{
    outText += chunk;
    if (outText.size() > kMaxText) {
        outText = outText.right(kMaxText);
        // Never start with the second half of a character outside the BMP.
        if (outText.at(0).isLowSurrogate())
            outText.remove(0, 1);
    }
}

std::intptr_t clsProcess::newWaitHandle() const
{
    return pReady && m_child ? m_child->newWaitHandle() : platform::Child::kNoWaitHandle;
}

} // namespace kv
