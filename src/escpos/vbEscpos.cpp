#include "escpos/vbEscpos.h"

#include "core/textconv.h"

#include <optional>
#include <string>

namespace kv {

namespace {

std::string toSpooler(const QString &s) { return text::toUtf8(s); }

std::optional<std::string> toSpoolerOrNull(const QString &s)
{
    if (s.isNull())
        return std::nullopt;
    return toSpooler(s);
}

QString fromSpooler(const std::string &s) { return text::fromUtf8(s); }

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

EscposChannel::EscposChannel(platform::Spooler &spooler) : m_spooler(spooler) {}

EscposChannel::~EscposChannel() = default;

bool EscposChannel::escposOpen(const QString &sDocName, QString &sPrinterName)
{
    if (sPrinterName.isEmpty())
        sPrinterName = fromSpooler(m_spooler.defaultPrinter());
    // A caller that never closed its channel would otherwise strand its job
    // half-written on the server.
    escposClose();
    m_writeFailed = false;
    hPrinter = m_spooler.openPrinter(toSpooler(sPrinterName));
    if (!hPrinter)
        return false;
    docInfo = DocInfo{sDocName, QString(), QString()};
    // Whether the document started is not checked: a channel that cannot
    // print shows on paper, and every later step is harmless without it.
    hPrinter->startDocument(
        platform::DocInfo{toSpooler(docInfo.pDocName), toSpoolerOrNull(docInfo.pOutputFile),
                          toSpoolerOrNull(docInfo.pDatatype)});
    return true;
}

void EscposChannel::escposStartPage()
{
    if (hPrinter)
        hPrinter->startPage();
}

void EscposChannel::writeBytes(const QByteArray &bytes)
{
    if (!hPrinter)
        return;
    std::size_t written = 0;
    if (!hPrinter->write(std::string_view(bytes.constData(), std::size_t(bytes.size())), written) ||
        written != std::size_t(bytes.size()))
        m_writeFailed = true;
}

void EscposChannel::escposWrite(const QString &sText) { writeBytes(text::toPrinterBytes(sText)); }

void EscposChannel::escposSelectReceipt() { writeBytes(QByteArray("\x1b\x63\x30\x02", 4)); }

void EscposChannel::escposCut() { writeBytes(QByteArray("\x1d\x56\x42\x00", 4)); }

void EscposChannel::escposOpenDrawer()
{
    // On 25 x 2 ms, off 250 x 2 ms: long enough for the solenoid, and the
    // second pin only fires once the first has settled.
    writeBytes(QByteArray("\x1b\x70\x00\x19\xfa", 5));
    writeBytes(QByteArray("\x1b\x70\x01\x19\xfa", 5));
}

void EscposChannel::escposWriteHex(const QString &sHex) { writeBytes(escpos::hexToBytes(sHex)); }

void EscposChannel::escposEndPage()
{
    if (hPrinter)
        hPrinter->endPage();
}

bool EscposChannel::escposClose()
{
    return escposFinishHeld() && escposRelease();
}

bool EscposChannel::escposFinishHeld()
{
    if (!hPrinter)
        return false;
    const bool whole = hPrinter->finishDocument() && !m_writeFailed;
    if (!whole)
        escposAbandon();
    return whole;
}

bool EscposChannel::escposRelease()
{
    if (!hPrinter)
        return false;
    const bool released = hPrinter->release();
    escposAbandon();
    return released;
}

void EscposChannel::escposAbandon()
{
    if (hPrinter)
        m_lastJob = hPrinter->job();
    hPrinter.reset();
    m_writeFailed = false;
}

namespace escpos {

QStringList getPrinterList(platform::Spooler &spooler)
{
    QStringList list;
    for (const std::string &name : spooler.printers())
        list.append(fromSpooler(name));
    list.append(QString(""));
    return list;
}

bool printerExists(platform::Spooler &spooler, const QString &sPrinterName)
{
    for (const std::string &name : spooler.printers()) {
        if (fromSpooler(name) == sPrinterName)
            return true;
    }
    return false;
}

QByteArray hexToBytes(const QString &sHex)
{
    QByteArray out;
    for (qsizetype i = 0; i + 2 <= sHex.size(); i += 2) {
        const int high = hexDigit(sHex.at(i));
        const int low = hexDigit(sHex.at(i + 1));
        if (high < 0)
            out.append('\0');
        else if (low < 0)
            out.append(char(high));
        else
            out.append(char(high * 16 + low));
    }
    return out;
}

QStringList reasonsInWords(const std::vector<std::string> &reasons)
{
    // Keywords may carry a -report, -warning or -error suffix.
    static const std::pair<const char *, const char *> words[] = {
        {"media-empty", "out of paper"}, {"media-needed", "out of paper"}, {"media-jam", "paper jam"},
        {"cover-open", "cover open"},    {"door-open", "cover open"},      {"offline", "offline"},
        {"kv-escpos-no-process-id", "no process-ID answers, receipts confirmed as received, not as printed"},
    };
    QStringList out;
    for (const std::string &reason : reasons) {
        for (const auto &[keyword, word] : words) {
            if (reason.rfind(keyword, 0) == 0 && !out.contains(QLatin1String(word)))
                out << QLatin1String(word);
        }
    }
    return out;
}

} // namespace escpos
} // namespace kv
