#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace velora {

// How the service reads a number out of free text (settings, house numbers,
// postcodes, answers of peers and services). The rule is deliberately lenient:
// leading blanks, an optional sign, decimal digits or hexadecimal digits after
// "$", "x", "X" or "0x"; reading stops at the first other character or before
// the value would leave the signed 32-bit range. The sign only counts when the
// digits run to the end of the text ("-12a" reads as 12).
struct IntegerReading {
    qint32 value = 0;
    // True when the text held digits and they ran to its very end without
    // overflow: the whole text is a number.
    bool complete = false;
};

IntegerReading readInteger(QStringView text);

// Value of a hexadecimal digit of either case; -1 for any other character.
constexpr int hexDigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

// The wire's hex text is written in upper case only, and framing reads it so:
// a lower-case letter ends a run of digits.
constexpr bool isUpperHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
}

inline qint32 leadingInteger(QStringView text)
{
    return readInteger(text).value;
}

// The stricter form used for typed items of a ride order: a text that is not
// entirely a number gives 0.
inline qint32 wholeInteger(QStringView text)
{
    const IntegerReading reading = readInteger(text);
    return reading.complete ? reading.value : 0;
}

// The single-byte code page of the dispatch suite is Windows-1252.
// Characters without a single-byte equivalent become "?"; codes 00..FF keep
// their byte (best fit for 0x80..0x9F, as the platform converter does).
QByteArray toAnsi(QStringView text);
QString fromAnsi(QByteArrayView bytes);

// A text as a single-byte field of at most maxLength characters holds it:
// converted to the code page (unmapped characters become "?") and cut.
QString toAnsiField(QStringView text, qsizetype maxLength);

// The lines of a text: CR LF, a lone CR and a lone LF all end a line, as in a
// multi-line edit. A text that ends with a break ends with an empty line, and
// an empty text is one empty line.
QStringList splitLines(QStringView text);

// Blanks and control characters removed at both ends (codes 0 to 32).
QString trimControl(QStringView text);

// A non-negative number in decimal digits, zero-padded to `width`. Stamps of
// log lines and ride markers are built with it: QDateTime::toString parses its
// format on every call, which cost about 4,000 instructions a stamp and eight
// stamps a packet.
void appendZeroPadded(QString &text, int value, int width);

} // namespace velora
