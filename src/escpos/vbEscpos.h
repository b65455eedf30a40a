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
    // True when the spooler took the whole document and let it print: every
    // write of the job, its end and its release succeeded.
    bool escposClose();
    // For a caller that records the job before it prints (the POS queue):
    // ends the document and keeps it held at the server, the printer open.
    // True when the server holds all of it; currentJob() then names it.
    bool escposFinishHeld();
    // Lets the held document print and closes the printer. False when the
    // server did not answer that it did (it may hold the job or print it).
    bool escposRelease();
    // Closes the printer without letting the document go: nothing of it is
    // printed; the server may keep it held until someone cancels it.
    void escposAbandon();
    // The job of the document last closed or abandoned.
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
    // Whether the open printer's queue was stopped; false when closed.
    bool printerStopped() const { return hPrinter && hPrinter->queueStopped(); }
    const DocInfo &documentRecord() const { return docInfo; }

private:
    void writeBytes(const QByteArray &bytes);

    platform::Spooler &m_spooler;
    std::unique_ptr<platform::PrinterHandle> hPrinter;
    DocInfo docInfo;
    // A write of the open job failed: the job cannot print whole.
    bool m_writeFailed = false;
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
