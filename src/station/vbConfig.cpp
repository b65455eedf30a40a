#include "station/vbConfig.h"

#include "core/helpers.h"
#include "core/textconv.h"
#include "platform/files.h"
#include "shared/conffile.h"
#include "shared/confsyntax.h"

#include <array>
#include <optional>
#include <string>

namespace kv::config {

namespace {

// The keys a front-end file may hand over; station id, printer and launcher
// name belong to this workstation and are never imported.
constexpr std::array<std::string_view, 6> kImportedKeys = {
    "db_host", "db_username", "db_password", "db_name", "db_username_admin", "db_password_admin",
};

// The file as UTF-8 text; reason says why there is none.
std::optional<std::string> readConfigFile(const QString &path, QString *reason)
{
    conffile::Content c = conffile::read(text::toUtf8(path));
    if (c.ok())
        return std::move(c.text);
    if (reason)
        *reason = path + QStringLiteral(": ") + text::fromUtf8(c.reason);
    return std::nullopt;
}

std::string line(std::string_view key, const QString &value)
{
    return confsyntax::formatLine(key, text::toUtf8(value));
}

} // namespace

bool writePrivateFile(const QString &sPath, const QByteArray &bytes, QString *errorText)
{
    std::string err;
    if (platform::replaceFile(text::toUtf8(sPath), std::string_view(bytes.constData(), std::size_t(bytes.size())), 0600, &err))
        return true;
    if (errorText)
        *errorText = text::fromUtf8(err);
    return false;
}

bool appendPrivateLine(const QString &sPath, const QByteArray &line, QString *errorText)
{
    std::string err;
    if (platform::appendLinePrivately(text::toUtf8(sPath), std::string_view(line.constData(), std::size_t(line.size())), &err))
        return true;
    if (errorText)
        *errorText = text::fromUtf8(err);
    return false;
}

Outcome importFrontEndConfig(const QString &sDestination, const AppContext &ctx, Prompter &prompter)
{
    QString source;
    if (fileExists(ctx.appPath() + QStringLiteral("dralfrontend.conf")))
        source = ctx.appPath() + QStringLiteral("dralfrontend.conf");
    else if (fileExists(ctx.appPath() + QStringLiteral("korvantis.conf")))
        source = ctx.appPath() + QStringLiteral("korvantis.conf");

    std::string out;
    QString error;
    bool ok = true;
    if (!source.isEmpty()) {
        const auto content = readConfigFile(source, &error);
        ok = content.has_value();
        if (ok) {
            for (const auto &e : confsyntax::parse(*content)) {
                for (auto key : kImportedKeys) {
                    if (e.key == key)
                        out += confsyntax::formatLine(e.key, e.value);
                }
            }
        }
    }
    // With no front-end file the destination is still created, empty: the
    // read that follows completes it.
    if (ok)
        ok = writePrivateFile(sDestination, QByteArray::fromStdString(out), &error);
    if (ok)
        return Outcome::Continue;

    return endForLackOfRights(
        prompter,
        QStringLiteral(
            "You do not have sufficient rights to create a configuration file. Please restart as Administrator."),
        error);
}

LauncherSettings readShellConfig(const QString &sPath, const AppContext &ctx, EventLog *log)
{
    LauncherSettings s;
    QString launcher;
    const std::string path = text::toUtf8(sPath);
    // A rewrite killed half-way leaves its temporary file, which holds the
    // password, beside shell.conf; and an older launcher left the file
    // readable for everyone.
    platform::removeLeftoverTemporaries(path);
    platform::makePrivateIfOwned(path);

    const conffile::Content content = conffile::read(path);
    if (!content.ok()) {
        // Not shown to the person (the settings dialog follows), but a FIFO
        // or a device in its place is worth a word to whoever looks.
        if (content.status == conffile::Content::Status::Unusable && log)
            log->warning(QStringLiteral("%1 is not read: %2").arg(sPath, QString::fromStdString(content.reason)));
        return s;
    }

    for (const auto &e : confsyntax::parse(content.text)) {
        const QString value = text::fromUtf8(e.value);
        if (e.key == "db_host") s.db_host = value;
        else if (e.key == "db_name") s.db_name = value;
        else if (e.key == "db_username") s.db_username = value;
        else if (e.key == "db_password") s.db_password = value;
        else if (e.key == "stationid") s.stationid = value;
        else if (e.key == "esc_printer") s.esc_printer = value;
        else if (e.key == "db_username_admin") s.db_username_admin = value;
        else if (e.key == "db_password_admin") s.db_password_admin = value;
        else if (e.key == "launcher") launcher = value;
    }

    if (!s.esc_printer.isEmpty() && launcher == ctx.launcherName)
        return s;

    std::string out;
    out += line("db_host", s.db_host);
    out += line("db_name", s.db_name);
    out += line("db_username", s.db_username);
    out += line("db_password", s.db_password);
    // "none" marks the printer question as answered in the file, while the
    // record keeps "" so start-up can still tell this is a first run.
    out += line("esc_printer", s.esc_printer.isEmpty() ? QStringLiteral("none") : s.esc_printer);
    if (!s.stationid.isEmpty())
        out += line("stationid", s.stationid);
    out += line("db_username_admin", s.db_username_admin);
    out += line("db_password_admin", s.db_password_admin);
    out += line("launcher", ctx.launcherName);
    writePrivateFile(sPath, QByteArray::fromStdString(out));
    return s;
}

} // namespace kv::config
