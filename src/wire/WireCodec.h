#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace velora {

// The three layers every message on every connection has: the "<RBS>"
// envelope, the hex rendering of a text inside it, and the comma list of
// positional items that text holds. All functions are pure.

// The hex text of a received envelope: everything after "<RBS>" except the
// last two characters, which the peers use as a trailer of their own and which
// are dropped unseen. No result when the text does not start with "<RBS>".
std::optional<QString> UnwrapEnvelope(const QString &received);

// "<RBS>" + hex text + "<EINDE>", nothing after it.
QString WrapEnvelope(const QString &hexText);

// Every character as exactly two upper-case hex digits: the byte that the
// single-byte code page holds for it (characters without one are sent as "?").
// Writing a longer digit group for characters above FF would shift every later
// pair for a reader that cuts the text into pairs, corrupting the whole message.
QString EncodeHexText(const QString &text);

// The hex text cut into pairs from its start, each pair one character of code
// 00..FF (Latin-1); a last unpaired digit is ignored. A pair 00 stays in the
// text as a code-0 character.
QString DecodeHexText(const QString &hexText);

// The digits read from the last towards the first, the last weighing 1 and
// each one before it 16 times the one after it. Upper- and lower-case A-F both
// count (peers that write lower case are read correctly); any other character
// counts as the digit 0, so every pair gives a code from 00 to FF. Weights wrap
// beyond eight digits; only pairs are ever passed by the codec.
int HexValue(QStringView digits);

// One item of a comma list as it stands in the text: its characters without
// enclosing quotes, and whether doubled quotes in it still stand for one each.
struct CommaItem {
    QStringView raw;
    bool doubledQuotes = false;

    QString text() const;
};

// Walks the items of a comma list by the reading rules of ReadCommaList and
// hands each to visit(const CommaItem &), which returns false to stop early.
// Lets a reader that needs only the first items skip building the rest.
template <typename Visit>
void scanCommaList(QStringView text, Visit &&visit);

// Reading: a code-0 character ends the text; leading blanks and control
// characters are skipped; an item is quoted (doubled quotes inside) or runs to
// the next comma, blank, control character or the end; a trailing comma gives
// a last empty item; text after a blank or a closing quote starts a new item.
QStringList ReadCommaList(const QString &text);

// Writing: items joined by commas; an item holding a double quote, a comma or a
// character of code 1 to 32 is quoted with its quotes doubled; a list of one
// single empty item is written as "" so that it reads back as one item.
QString WriteCommaList(const QStringList &items);

// The acknowledgement the intake side sends for a packet ("AC" or "NC").
struct tMsgReply {
    QString PacketType; // at most 2 characters
    QString Sender;     // at most 5 characters
    qint32 MessageCode = 7;
    qint32 RideNumber = 0;
    qint32 SpareInt = 0;
    QString SpareNote;
};

// The six items in order, the texts held to their single-byte capacity.
QString ReplyToCommaText(const tMsgReply &reply);

// Received bytes as text, one character per byte whose code is the byte value.
QString receivedText(QByteArrayView bytes);

// An envelope to send as single-byte text (it is ASCII by construction).
QByteArray envelopeBytes(const QString &envelope);

template <typename Visit>
void scanCommaList(QStringView text, Visit &&visit)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    const QStringView t = nul >= 0 ? text.first(nul) : text;
    const qsizetype end = t.size();
    const auto isBlank = [](QChar c) { return c.unicode() <= 32; }; // no code 0 is left in t
    qsizetype i = 0;
    while (i < end && isBlank(t[i]))
        ++i;
    while (i < end) {
        CommaItem item;
        if (t[i] == u'"') {
            const qsizetype start = ++i;
            for (;;) {
                const qsizetype quote = t.indexOf(u'"', i);
                if (quote < 0) {
                    item.raw = t.sliced(start);
                    i = end;
                    break;
                }
                if (quote + 1 < end && t[quote + 1] == u'"') {
                    item.doubledQuotes = true;
                    i = quote + 2;
                    continue;
                }
                item.raw = t.sliced(start, quote - start);
                i = quote + 1;
                break;
            }
        } else {
            const qsizetype start = i;
            while (i < end && t[i] != u',' && !isBlank(t[i]))
                ++i;
            item.raw = t.sliced(start, i - start);
        }
        if (!visit(item))
            return;
        while (i < end && isBlank(t[i]))
            ++i;
        if (i < end && t[i] == u',') {
            if (i + 1 == end && !visit(CommaItem{}))
                return;
            ++i;
            while (i < end && isBlank(t[i]))
                ++i;
        }
    }
}

} // namespace velora
