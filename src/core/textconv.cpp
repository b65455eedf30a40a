#include "core/textconv.h"

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

// Windows-1252 bytes 0x80-0x9F; 0 where the code page leaves the byte unused.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char printerByte(char32_t cp)
{
    if (cp <= 0xFF)
        return char(cp);
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] != 0 && kCp1252High[i] == cp)
            return char(0x80 + i);
    }
    return '?';
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
