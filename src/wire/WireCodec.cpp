#include "wire/WireCodec.h"

#include "shell/TextRules.h"

#include <algorithm>

namespace velora {

namespace {

const QString kOpening = QStringLiteral("<RBS>");
const QString kClosing = QStringLiteral("<EINDE>");
constexpr qsizetype kTrailerLength = 2;

// A character that is no hex digit reads as 0.
int hexDigit(QChar c)
{
    return std::max(hexDigitValue(c.unicode()), 0);
}

bool needsQuotes(const QString &item)
{
    for (QChar c : item) {
        const char16_t u = c.unicode();
        if (u == u'"' || u == u',' || (u >= 1 && u <= 32))
            return true;
    }
    return false;
}

} // namespace

QString CommaItem::text() const
{
    QString result = raw.toString();
    if (doubledQuotes)
        result.replace(QStringLiteral("\"\""), QStringLiteral("\""));
    return result;
}

std::optional<QString> UnwrapEnvelope(const QString &received)
{
    if (!received.startsWith(kOpening))
        return std::nullopt;
    const qsizetype length = received.size() - kOpening.size() - kTrailerLength;
    if (length <= 0)
        return QString();
    return received.sliced(kOpening.size(), length);
}

QString WrapEnvelope(const QString &hexText)
{
    return kOpening + hexText + kClosing;
}

QString EncodeHexText(const QString &text)
{
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    const QByteArray bytes = toAnsi(text);
    QString hex(bytes.size() * 2, Qt::Uninitialized);
    QChar *out = hex.data();
    for (char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        *out++ = QChar(kDigits[code >> 4]);
        *out++ = QChar(kDigits[code & 0x0F]);
    }
    return hex;
}

QString DecodeHexText(const QString &hexText)
{
    const qsizetype pairs = hexText.size() / 2;
    QString text(pairs, Qt::Uninitialized);
    QChar *out = text.data();
    const QChar *in = hexText.constData();
    for (qsizetype i = 0; i < pairs; ++i, in += 2)
        *out++ = QChar(static_cast<char16_t>(hexDigit(in[0]) * 16 + hexDigit(in[1])));
    return text;
}

int HexValue(QStringView digits)
{
    // Unsigned so that more than eight digits wrap instead of overflowing.
    quint32 value = 0;
    quint32 weight = 1;
    for (qsizetype i = digits.size() - 1; i >= 0; --i) {
        value += static_cast<quint32>(hexDigit(digits[i])) * weight;
        weight *= 16;
    }
    return static_cast<int>(value);
}

QStringList ReadCommaList(const QString &text)
{
    QStringList items;
    scanCommaList(text, [&items](const CommaItem &item) {
        items.append(item.text());
        return true;
    });
    return items;
}

QString WriteCommaList(const QStringList &items)
{
    if (items.size() == 1 && items.front().isEmpty())
        return QStringLiteral("\"\"");
    qsizetype length = items.size();
    for (const QString &item : items)
        length += item.size() + 2;
    QString text;
    text.reserve(length);
    bool first = true;
    for (const QString &item : items) {
        if (!first)
            text.append(u',');
        first = false;
        if (!needsQuotes(item)) {
            text.append(item);
            continue;
        }
        text.append(u'"');
        for (QChar c : item) {
            if (c == u'"')
                text.append(u'"');
            text.append(c);
        }
        text.append(u'"');
    }
    return text;
}

QString ReplyToCommaText(const tMsgReply &reply)
{
    return WriteCommaList({toAnsiField(reply.PacketType, 2), toAnsiField(reply.Sender, 5),
                           QString::number(reply.MessageCode), QString::number(reply.RideNumber),
                           QString::number(reply.SpareInt), reply.SpareNote});
}

QString receivedText(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.data(), bytes.size());
}

QByteArray envelopeBytes(const QString &envelope)
{
    return envelope.toLatin1();
}

} // namespace velora
