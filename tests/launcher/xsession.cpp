#include "xsession.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <memory>

namespace xsession {
namespace {

std::unique_ptr<QProcess> g_xvfb;
std::unique_ptr<QProcess> g_trayer;
QString g_display;

QProcessEnvironment xEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), g_display);
    return env;
}

} // namespace

QString display() { return g_display; }

void start()
{
    if (g_xvfb)
        return;
    // A display number nobody holds; other test runs may have their own.
    for (int n = 90; n < 140 && !g_xvfb; ++n) {
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) ||
            QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            continue;
        auto x = std::make_unique<QProcess>();
        x->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        x->start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                                          QStringLiteral("800x600x24"), QStringLiteral("-nolisten"),
                                          QStringLiteral("tcp")});
        if (!x->waitForStarted(5000))
            continue;
        QElapsedTimer t;
        t.start();
        while (!QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) && t.elapsed() < 5000 &&
               x->state() == QProcess::Running)
            QThread::msleep(50);
        if (x->state() != QProcess::Running)
            continue;
        g_display = QStringLiteral(":%1").arg(n);
        g_xvfb = std::move(x);
    }
    ASSERT_TRUE(g_xvfb) << "Xvfb did not start";
    startTray();
}

void startTray()
{
    if (g_trayer)
        return;
    g_trayer = std::make_unique<QProcess>();
    g_trayer->setProcessEnvironment(xEnvironment());
    g_trayer->start(QStringLiteral("trayer"),
                    {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32", "--transparent",
                     "false", "--tint", "0x808080", "--SetDockType", "true"});
    ASSERT_TRUE(g_trayer->waitForStarted(5000)) << "trayer did not start";
}

namespace {

void end(std::unique_ptr<QProcess> &p)
{
    if (!p)
        return;
    p->terminate();
    if (!p->waitForFinished(5000))
        p->kill();
    p->waitForFinished(2000);
    p.reset();
}

} // namespace

void stopTray()
{
    end(g_trayer);
}

void stop()
{
    end(g_trayer);
    end(g_xvfb);
}

QString xdotool(const QStringList &arguments)
{
    QProcess p;
    p.setProcessEnvironment(xEnvironment());
    p.start(QStringLiteral("xdotool"), arguments);
    p.waitForFinished(10000);
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

QStringList launcherWindows()
{
    return xdotool({"search", "--onlyvisible", "--class", "korvantis-launcher"})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString waitForWindow(const QString &title, std::chrono::milliseconds timeout)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeout.count()) {
        for (const QString &w : launcherWindows()) {
            if (xdotool({"getwindowname", w}) == title)
                return w;
        }
        QThread::msleep(100);
    }
    return QString();
}

void chooseMenuItem(const QString &iconWindow, int button, int fromEnd)
{
    const QStringList before = launcherWindows();
    xdotool({"mousemove", "--window", iconWindow, "10", "10", "click", QString::number(button)});
    QString menu;
    QElapsedTimer t;
    t.start();
    while (menu.isEmpty() && t.elapsed() < 5000) {
        for (const QString &w : launcherWindows()) {
            if (!before.contains(w))
                menu = w;
        }
        QThread::msleep(100);
    }
    ASSERT_FALSE(menu.isEmpty()) << "the tray menu did not open";
    // The open menu holds the keyboard: Up from no item selects the last
    // one, and the disabled About is skipped like the separator.
    QStringList keys{"key", "--delay", "50"};
    for (int i = 0; i < fromEnd; ++i)
        keys << "Up";
    keys << "Return";
    xdotool(keys);
}

} // namespace xsession
