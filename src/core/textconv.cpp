#include "core/textconv.h"

#include "shared/cp1252.h"

namespace kv::text {

QString fromUtf8(std::string_view bytes)
{
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

std::string toUtf8(const QString &s)
{
    const QByteArray b = s.toUtf8();
    return std::string(b.constData(), std::size_t(b.size()));
}

namespace {

char printerByte(char32_t cp)
{
    const int b = cp1252::fromUnicode(cp);
    return b < 0 ? '?' : char(b);
}

} // namespace

QByteArray toPrinterBytes(const QString &s)
{
    QByteArray out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
            // One character outside the BMP is one "?", not two.
            out.append('?');
            ++i;
            continue;
        }
        out.append(printerByte(c.unicode()));
    }
    return out;
}

} // namespace kv::text
