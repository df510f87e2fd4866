#include "returns/ReturnAnswer.h"

#include "shell/TextRules.h"
#include "wire/WireCodec.h"

namespace velora {

namespace {

// The leading number as the reading rule sees it: blanks and a sign skipped,
// then an optional hex prefix ("$", "x" or "0x") and its digits. "0x" is read
// as a prefix whenever it is there, so its "0" is no digit.
struct LeadingNumber {
    QStringView magnitude; // prefix and digits, without the sign: the number's size
    qsizetype digits = 0;  // digits after the prefix
};

LeadingNumber leadingNumber(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    const qsizetype start = i;
    bool hex = false;
    if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    const qsizetype firstDigit = i;
    while (i < n && (hex ? hexDigitValue(text[i].unicode()) >= 0 : (text[i] >= u'0' && text[i] <= u'9')))
        ++i;
    return {text.sliced(start, i - start), i - firstDigit};
}

} // namespace

bool holdsLeadingDigits(QStringView text)
{
    // "0x" or "0xZ" hold no number at all.
    return leadingNumber(text).digits > 0;
}

ReturnAnswer readReturnAnswer(const QString &received)
{
    ReturnAnswer answer;
    const std::optional<QString> hex = UnwrapEnvelope(received);
    if (!hex)
        return answer;
    answer.reply = DecodeHexText(*hex);
    if (answer.reply.startsWith(QLatin1String("AC")))
        answer.kind = ReturnAnswer::Kind::Accept;
    else if (answer.reply.startsWith(QLatin1String("NC")))
        answer.kind = ReturnAnswer::Kind::Refuse;
    else
        return answer;

    // Only the first four items matter; a flood need not be split in full.
    int index = 0;
    scanCommaList(answer.reply, [&](const CommaItem &item) {
        if (index++ < 3)
            return true;
        const QString text = item.text();
        if (!holdsLeadingDigits(text))
            return false;
        // The reading rule stops before the number leaves the 32-bit range, so
        // 99999999999999 would read as 999999999: another booking's ride. A
        // number that no ride can have selects none.
        const IntegerReading whole = readInteger(text);
        if (whole.complete || readInteger(leadingNumber(text).magnitude).complete)
            answer.rideNumber = whole.value;
        return false;
    });
    answer.missingRideNumber = index < 4;
    return answer;
}

} // namespace velora
