// The one raw channel to the receipt printer and the ESC/POS commands the
// launcher sends over it, plus the helpers that list the installed printers.
#pragma once

#include "platform/spooler.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace kv {

// The document record a job starts with: document name, output file, data
// type. The launcher never names an output file or a data type: the bytes go
// to the printer in the queue's own raw form.
struct DocInfo {
    QString pDocName;
    QString pOutputFile;
    QString pDatatype;
};

// Module state of the printer channel: one per program, built by whoever owns
// the program's state (tests build their own).
class EscposChannel {
public:
    explicit EscposChannel(platform::Spooler &spooler);
    ~EscposChannel();
    EscposChannel(const EscposChannel &) = delete;
    EscposChannel &operator=(const EscposChannel &) = delete;

    // Opens the printer and starts a document named sDocName. An empty
    // sPrinterName means the default printer, and its name is written back.
    // False when the printer could not be opened; nothing is started then.
    bool escposOpen(const QString &sDocName, QString &sPrinterName);
    void escposStartPage();
    // The text's bytes, one per character.
    void escposWrite(const QString &sText);
    // ESC c 0 2: print on the receipt paper.
    void escposSelectReceipt();
    // GS V 66 0: feed to the cutter, then cut.
    void escposCut();
    // ESC p on pin 2, then ESC p on pin 5, as two writes.
    void escposOpenDrawer();
    // Pairs of hexadecimal digits, written in one write (see hexToBytes).
    void escposWriteHex(const QString &sHex);
    void escposEndPage();
    // Ends the document and closes the printer; nothing on a closed channel.
    // True when the spooler took the whole document: every write of the job
    // and its end succeeded. Callers that must not lose what they printed
    // (the POS queue) act on it; the others may ignore it.
    bool escposClose();
    // Closes the printer without handing the document over: nothing of it
    // is printed. For a caller whose own step failed half-way.
    void escposAbandon();
    // The job of the document closed or abandoned last, and what became of
    // it: Unknown when the print server may have it (see
    // platform::Spooler::settleJob).
    platform::JobFate lastFate() const { return m_lastFate; }
    const platform::JobRef &lastJob() const { return m_lastJob; }
    // The open document's job, as far as the server has told it.
    platform::JobRef currentJob() const { return hPrinter ? hPrinter->job() : platform::JobRef{}; }

    bool isOpen() const { return hPrinter != nullptr; }
    // Why the open printer does not print, as its queue said (see
    // platform::PrinterHandle::stateReasons); empty when closed.
    std::vector<std::string> printerReasons() const
    {
        return hPrinter ? hPrinter->stateReasons() : std::vector<std::string>{};
    }
    const DocInfo &documentRecord() const { return docInfo; }

private:
    void writeBytes(const QByteArray &bytes);

    platform::Spooler &m_spooler;
    std::unique_ptr<platform::PrinterHandle> hPrinter;
    DocInfo docInfo;
    // A write of the open job failed: the job cannot print whole.
    bool m_writeFailed = false;
    platform::JobFate m_lastFate = platform::JobFate::NotTaken;
    platform::JobRef m_lastJob;
};

namespace escpos {

// The installed printers' names in the spooler's order, then one empty
// element: the last index is the number of printers.
QStringList getPrinterList(platform::Spooler &spooler);

// True when an installed printer has exactly this name (case matters).
bool printerExists(platform::Spooler &spooler, const QString &sPrinterName);

// Hexadecimal text to bytes, strictly two characters per byte with no
// separators: each pair is the value of its leading hex digits (0 when the
// first is none), and an odd last character is dropped. "ZZ41" gives 00 41,
// "1b63300" gives 1B 63 30. Never fails.
QByteArray hexToBytes(const QString &sHex);

// A queue's printer-state-reasons as a person reads them: "out of paper",
// "cover open", "paper jam", "offline"; reasons that do not stop a receipt
// printer are left out.
QStringList reasonsInWords(const std::vector<std::string> &reasons);

} // namespace escpos
} // namespace kv
