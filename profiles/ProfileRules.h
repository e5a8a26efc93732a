#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace vx {

// The terminal splits what it receives into settings at commas, so a value
// holding one would reach it as two settings (a corrupted value, or a key of
// the sender's choosing). No profile value may hold a comma.

// The keys of the lines of a profile file ("KEY=VALUE", CR LF or LF line
// ends) whose value holds a comma, in file order; a line without "=" that
// holds a comma is named by its text up to the comma.
QList<QByteArray> KeysWithComma(const QByteArray &content);

// "The value of KEY holds a comma ..." for a refusal that names the keys.
QString CommaRefusalText(const QList<QByteArray> &keys);

} // namespace vx
