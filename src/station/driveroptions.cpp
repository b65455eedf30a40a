#include "station/driveroptions.h"

#include "station/odbc.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace kv::odbc {

namespace {

// A value inside pqopt={...}: quoted as libpq's conninfo quotes. A "}" would
// end the option early, so such a value is left out.
bool appendConninfo(QString &pqopt, const char *key, const QString &value)
{
    if (value.contains(QLatin1Char('}')))
        return false;
    QString quoted = value;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    quoted.replace(QLatin1Char('\''), QLatin1String("\\'"));
    if (!pqopt.isEmpty())
        pqopt += QLatin1Char(' ');
    pqopt += QLatin1String(key) + QLatin1String("='") + quoted + QLatin1Char('\'');
    return true;
}

QString environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? QString::fromLocal8Bit(value) : QString();
}

} // namespace

QString valueOf(const QString &connectionText, QLatin1String key)
{
    for (const QString &part : connectionText.split(QLatin1Char(';'))) {
        const qsizetype eq = part.indexOf(QLatin1Char('='));
        if (eq > 0 && part.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return part.mid(eq + 1).trimmed();
    }
    return QString();
}

std::string serverOf(const QString &connectionText)
{
    return valueOf(connectionText, QLatin1String("SERVER")).toStdString();
}

QString withDriverOptions(const QString &text, int deadlineMs)
{
    QString out = text;
    const auto add = [&out, &text](const char *key, const QString &value) {
        if (valueOf(text, QLatin1String(key)).isNull())
            out += QLatin1Char(';') + QLatin1String(key) + QLatin1Char('=') + value;
    };
    // A file of the check that is not there would turn the check off
    // without a word (libpq skips a missing revocation list, and a missing
    // root certificate below verify-ca): refused, as verify-full refuses a
    // missing root certificate.
    for (const auto &[variable, what] : {std::pair{"PGSSLROOTCERT", "root certificate file"},
                                         std::pair{"PGSSLCRL", "certificate revocation list"}}) {
        const QString file = environment(variable);
        if (!file.isEmpty() && !QFileInfo::exists(file))
            throw Error(kProviderError,
                        QLatin1String(kUntrustedServer) +
                            QStringLiteral("%1 \"%2\" (%3) does not exist").arg(QLatin1String(what), file,
                                                                                QLatin1String(variable)),
                        QStringLiteral("08001"));
    }
    // psqlODBC's own default is "disable", in clear even to a server that
    // offers TLS; libpq's, which the shop's other clients have, is "prefer".
    const QString sslMode = environment("PGSSLMODE");
    if (sslMode.isEmpty())
        add("SSLmode", QStringLiteral("prefer"));
    else {
        static const QStringList modes{QStringLiteral("disable"), QStringLiteral("allow"),
                                       QStringLiteral("prefer"),  QStringLiteral("require"),
                                       QStringLiteral("verify-ca"), QStringLiteral("verify-full")};
        if (!modes.contains(sslMode))
            throw Error(kProviderError,
                        QStringLiteral("The environment sets PGSSLMODE to \"%1\", which is none of %2.")
                            .arg(sslMode, modes.join(QStringLiteral(", "))),
                        QStringLiteral("08001"));
        add("SSLmode", sslMode);
    }
    add("KeepaliveTime", QString::number(kKeepaliveIdleSeconds));
    add("KeepaliveInterval", QString::number(kKeepaliveIntervalSeconds));
    const int userTimeoutMs =
        deadlineMs <= 0 ? kLongestTcpUserTimeoutMs : std::clamp(deadlineMs - 1000, 1000, kLongestTcpUserTimeoutMs);
    QString pqopt = QStringLiteral("keepalives_count=%1 tcp_user_timeout=%2").arg(kKeepaliveCount).arg(userTimeoutMs);
    // libpq would read these itself; named here they show in the text, and a
    // path it cannot hold is still read from the environment by libpq.
    for (const auto &[variable, key] : {std::pair{"PGSSLROOTCERT", "sslrootcert"}, std::pair{"PGSSLCERT", "sslcert"},
                                        std::pair{"PGSSLKEY", "sslkey"}, std::pair{"PGSSLCRL", "sslcrl"}}) {
        const QString value = environment(variable);
        if (!value.isEmpty())
            appendConninfo(pqopt, key, value);
    }
    add("pqopt", QLatin1Char('{') + pqopt + QLatin1Char('}'));
    return out;
}

} // namespace kv::odbc
