// The POS command queue: the rows other parts of the system put into
// "poscommands" for this station become receipts and a drawer pulse on the
// receipt printer, and leave the queue. The database is reached only through
// the client library, the printer only through the one printer channel.
#pragma once

#include "config/vbConfig.h"
#include "config/vbDraldb.h"
#include "core/prompter.h"
#include "escpos/vbEscpos.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <stdexcept>

namespace kv {

// A pass whose print job the print server did not take whole: its rows are
// all still queued.
class PrintJobNotTaken : public std::runtime_error {
public:
    PrintJobNotTaken();
};

// One object per program, built by whoever owns the program's state; tests
// build their own around a fake or the real library and spooler.
class PosCommandQueue {
public:
    // libraryConnection is the owner's variable, read at every pass: start-up
    // may open the library connection after this object exists.
    // shellConf.esc_printer names the printer; when it is empty the default
    // printer's name is written into it by the first pass that opens it.
    PosCommandQueue(DraldbClient &draldb, const qint32 &libraryConnection, EscposChannel &channel,
                    LauncherSettings &shellConf, Prompter &prompter);

    // One pass over the station's queue: every row read is printed (device
    // 1), pulses the drawer at most once (device 2), or is dropped (any other
    // device), all in one print job; once the print server has taken the
    // job, the rows are deleted in the order they were read. When the
    // printer cannot be opened the person is told and the queue stays as it
    // is. When a write or the job's end fails, every row stays queued and
    // PrintJobNotTaken reaches the caller. An exception from the library or
    // the prompter abandons the job unprinted, frees the result set and
    // reaches the caller.
    void processPosCommands();

private:
    // The row handles of the rows read, in order.
    QList<qint32> printRows(qint32 resultSet, qint32 numRecords);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    EscposChannel &m_channel;
    LauncherSettings &m_shellConf;
    Prompter &m_prompter;
};

namespace poscommands {

// Devices of the queue the launcher handles.
inline constexpr int kReceiptPrinter = 1;
inline constexpr int kCashDrawer = 2;

// The query for one station's rows of the handled devices, oldest first. The
// station id is put in as it is; the pass hands it only a whole number.
QString queueQuery(const QString &sStationId);

// How many rows the same query would give, as one column "waiting": a cheap
// look before the printer is opened for nothing.
QString waitingCountQuery(const QString &sStationId);

// The receipt text with every ESC "|fP" (feed and cut, as the front-end's
// printer escape language writes it) turned into the printer's own cut
// command GS V 66 0. The text equals its input exactly when there was none.
QString replaceFeedAndCut(const QString &sCommand);

// The numeric value of a text, read as the system reads numbers: leading
// blanks skipped, an optional sign, digits with at most one decimal point,
// up to the first other character; 0 when there are no digits. "02", " 2"
// and "2.0" are all 2, "2.5" is not.
double numericValue(const QString &sText);

} // namespace poscommands
} // namespace kv
