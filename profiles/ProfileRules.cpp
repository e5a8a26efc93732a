#include "profiles/ProfileRules.h"

#include "profiles/ProfileFile.h"

#include <QStringList>

namespace vx {

QList<QByteArray> KeysWithComma(const QByteArray &content)
{
    QList<QByteArray> keys;
    for (QByteArray line : content.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const qsizetype comma = line.indexOf(',');
        if (comma < 0)
            continue;
        const qsizetype eq = line.indexOf('=');
        keys << (eq >= 0 && eq < comma ? line.left(eq) : line.left(comma));
    }
    return keys;
}

QString CommaRefusalText(const QList<QByteArray> &keys)
{
    QStringList names;
    for (const QByteArray &key : keys)
        names << EscapedText(key);
    return QStringLiteral(
               "The value of %1 holds a comma: the terminal would take what follows it as another "
               "setting.")
        .arg(names.join(QStringLiteral("; ")));
}

} // namespace vx
