#include "shell/TextRules.h"

#include <array>
#include <limits>

namespace velora {

namespace {

bool isDecimalDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves undefined
// map to the control character of the same code, as the platform converters do.
constexpr std::array<char16_t, 32> kHighControls = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Codes 00..FF map to the byte of the same value. For 0x80..0x9F this is the
// platform converter's best-fit rule: a peer that sends the code page byte 0x8A
// (decoded from the wire as U+008A) means "Š", and turning it into "?" would
// lose letters of travellers' names.
char toAnsiByte(char16_t c)
{
    if (c <= 0xFF)
        return static_cast<char>(c);
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == c)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

QChar ansiCharacter(unsigned char code)
{
    return code >= 0x80 && code <= 0x9F ? QChar(kHighControls[code - 0x80]) : QChar(code);
}

} // namespace

IntegerReading readInteger(QStringView text)
{
    IntegerReading reading;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    const qint64 limit = std::numeric_limits<qint32>::max();
    qint64 magnitude = 0;
    bool sawDigit = false;
    while (i < n) {
        const int digit =
            base == 16 ? hexDigitValue(text[i].unicode()) : (isDecimalDigit(text[i]) ? text[i].unicode() - u'0' : -1);
        if (digit < 0)
            break;
        const qint64 next = magnitude * base + digit;
        // -2147483648 is the one value whose magnitude exceeds the positive
        // range; it is allowed only as the complete, signed text.
        const bool lastNegative = negative && i + 1 == n && next == limit + 1;
        if (next > limit && !lastNegative)
            break;
        magnitude = next;
        sawDigit = true;
        ++i;
    }
    if (!sawDigit)
        return reading;
    reading.complete = i == n;
    if (reading.complete)
        reading.value = static_cast<qint32>(negative ? -magnitude : magnitude);
    else
        reading.value = static_cast<qint32>(magnitude);
    return reading;
}

QByteArray toAnsi(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text)
        bytes.append(toAnsiByte(c.unicode()));
    return bytes;
}

QString fromAnsi(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (char byte : bytes)
        *out++ = ansiCharacter(static_cast<unsigned char>(byte));
    return text;
}

QString toAnsiField(QStringView text, qsizetype maxLength)
{
    // One character is one byte of the code page, so cutting before or after
    // the conversion gives the same field. The field holds the character that
    // its byte stands for in the code page.
    const QStringView cut = maxLength >= 0 && text.size() > maxLength ? text.left(maxLength) : text;
    QString field(cut.size(), Qt::Uninitialized);
    QChar *out = field.data();
    for (QChar c : cut)
        *out++ = ansiCharacter(static_cast<unsigned char>(toAnsiByte(c.unicode())));
    return field;
}

QStringList splitLines(QStringView text)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i <= n; ++i) {
        if (i < n && text[i] != u'\r' && text[i] != u'\n')
            continue;
        lines << text.sliced(start, i - start).toString();
        if (i < n && text[i] == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    return lines;
}

void appendZeroPadded(QString &text, int value, int width)
{
    char digits[24];
    int count = 0;
    unsigned rest = value < 0 ? 0u : unsigned(value);
    do {
        digits[sizeof digits - 1 - count++] = char('0' + rest % 10);
        rest /= 10;
    } while (rest > 0);
    while (count < width && count < int(sizeof digits))
        digits[sizeof digits - 1 - count++] = '0';
    text.append(QLatin1StringView(digits + sizeof digits - count, count));
}

QString trimControl(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= 32)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 32)
        --end;
    return text.mid(begin, end - begin).toString();
}

} // namespace velora
