#include "returns/ReplyFraming.h"

#include "intake/WireCodec.h"
#include "shell/TextRules.h"

namespace velora {

namespace {

constexpr QByteArrayView kMarker = "<RBS>";

bool isUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Length of the longest proper beginning of "<RBS>" that the buffer ends with
// (after its first character); that tail may be the start of the next answer.
qsizetype partialMarkerTail(QByteArrayView buffer)
{
    for (qsizetype length = kMarker.size() - 1; length > 0; --length) {
        if (buffer.size() > length && buffer.last(length) == kMarker.first(length))
            return length;
    }
    return 0;
}

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
    while (i < n && (hex ? isHexDigit(text[i]) : (text[i] >= u'0' && text[i] <= u'9')))
        ++i;
    return {text.sliced(start, i - start), i - firstDigit};
}

} // namespace

bool isIncompleteReply(QByteArrayView piece)
{
    if (piece.isEmpty())
        return false;
    if (piece.size() < kMarker.size())
        return kMarker.startsWith(piece);
    if (!piece.startsWith(kMarker))
        return false;
    qsizetype i = kMarker.size();
    while (i < piece.size() && isUpperHexDigit(piece[i]))
        ++i;
    return piece.size() - i < 2;
}

QList<QByteArray> takeReadyReplies(QByteArray &buffer, bool takeAll)
{
    QList<QByteArray> pieces;
    qsizetype start = 0;
    for (;;) {
        const qsizetype next = buffer.indexOf(kMarker, start + 1);
        if (next < 0)
            break;
        pieces.append(buffer.mid(start, next - start));
        start = next;
    }
    QByteArray last = buffer.mid(start);
    // A tail that may begin the next answer is held on its own, but only when
    // what stands before it is complete: "<" may also start a trailer such as
    // "<EINDE>".
    const qsizetype tail = partialMarkerTail(last);
    if (tail > 0 && !isIncompleteReply(QByteArrayView(last).first(last.size() - tail))) {
        pieces.append(last.first(last.size() - tail));
        last = last.last(tail);
    }
    if (takeAll || !isIncompleteReply(last)) {
        if (!last.isEmpty())
            pieces.append(last);
        buffer.clear();
    } else {
        buffer = last;
    }
    return pieces;
}

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
