#include "core/noticecountdown.h"

namespace kv::notice {

QString countdownText(qint16 secondsLeft)
{
    return QStringLiteral("Automatically closing this window in ") + QString::number(secondsLeft / 60) +
           QStringLiteral(" minutes");
}

} // namespace kv::notice
