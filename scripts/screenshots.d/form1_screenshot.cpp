// Shows the program manager window with a running program's output, for the
// screenshot in docs/ (scripts/screenshots.d/program-manager.sh). Needs a display
// and the test cluster's settings (KV_TEST_ENV_DIR). Prints "ready" once the
// output is on screen; ends, stopping the program it ran, when the file
// named by its argument appears or after 60 s.
#include "programs/gui/Form1Window.h"

#include "form1station.h"

#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    testenv::loadAll();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    form1test::Station station;
    // A card reader that tells what it does, as such programs do.
    const QString reader = station.dir.file(QStringLiteral("cardreader"));
    {
        QFile f(reader);
        f.open(QIODevice::WriteOnly);
        f.write("#!/bin/sh\n"
                "echo \"Card reader service 2.4, $3 $4\"\n"
                "echo \"Opening $2 at 115200 baud\"\n"
                "echo \"Terminal 4711 connected\"\n"
                "i=1\n"
                "while [ $i -le 150 ]; do\n"
                "  echo \"$(date +%H:%M:%S) heartbeat $i: terminal idle, waiting for payment\"\n"
                "  sleep 0.3; i=$((i+1))\n"
                "done\n");
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    }
    station.add(QStringLiteral("Korvantis"), childhelpers::kv_child_exit_after, QString(), true, false);
    station.mp.managedPrograms[0].executable = QStringLiteral("run.sh");
    station.add(QStringLiteral("Card reader"), reader.toUtf8().constData(), QStringLiteral("--port /dev/ttyS0"),
                true, true);
    station.add(QStringLiteral("Customer display"), childhelpers::kv_child_echo, QStringLiteral("--lines 2"), false,
                true);
    station.mp.setObserver(nullptr);

    kv::ThreadWorker worker;
    kv::Form1Window window(station.mp, station.shellConf, station.prompter, station.clock, worker);
    station.mp.setObserver(&window.observer());
    window.showWindow();
    window.widget()->findChild<QListWidget *>(QStringLiteral("lstPrograms"))->setCurrentRow(1);
    window.widget()->findChild<QPushButton *>(QStringLiteral("cmdRun"))->click();

    // The main loop's supervision pass, more often than once a second so the
    // picture is ready sooner.
    QTimer pass;
    QObject::connect(&pass, &QTimer::timeout, [&] { station.mp.superviseManagedPrograms(); });
    pass.start(200);
    QTimer::singleShot(2500, [] {
        std::puts("ready");
        std::fflush(stdout);
    });
    const QString doneFile = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (!doneFile.isEmpty() && QFile::exists(doneFile))
            app.quit();
    });
    done.start(100);
    QTimer::singleShot(60000, &app, &QApplication::quit);
    return app.exec();
}
