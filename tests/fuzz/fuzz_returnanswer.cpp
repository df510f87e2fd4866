// The bytes a return host answers with, read as ReturnChannel reads them
// (onReadyRead, then the flush when no more bytes come) and each answer read
// by readReturnAnswer.

#include "FuzzReads.h"

#include "returns/ReturnAnswer.h"
#include "wire/Framing.h"
#include "wire/WireCodec.h"

#include <QByteArray>

using namespace velora;
using velora::fuzz::require;

namespace {

void handleAnswer(const QByteArray &bytes)
{
    const ReturnAnswer answer = readReturnAnswer(receivedText(bytes));
    if (answer.kind == ReturnAnswer::Kind::Other)
        return;
    require(answer.reply.startsWith(QLatin1String(answer.kind == ReturnAnswer::Kind::Accept ? "AC" : "NC")),
            "the kind is the answer's first two characters");
    require(!(answer.missingRideNumber && answer.rideNumber), "a missing item gives no ride number");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray pending;
    QByteArray sent;
    QByteArray handled;
    const auto take = [&](bool takeAll) {
        FramingResult framed = cutFrames(pending, {}, {kReplyBufferLimit, takeAll, true});
        pending = std::move(framed.held);
        for (const QByteArray &answer : framed.pieces) {
            require(!answer.isEmpty(), "no empty answer is taken");
            handled += answer;
            handleAnswer(answer);
        }
    };
    for (QByteArrayView read : velora::fuzz::splitIntoReads(data, size)) {
        sent += read;
        if (appendWhileIncomplete(pending, read, kReplyBufferLimit))
            continue;
        pending.append(read);
        take(pending.size() >= kReplyBufferLimit);
    }
    take(true);
    require(pending.isEmpty(), "taking all leaves nothing pending");
    require(handled == sent, "framing neither loses nor invents bytes");
    return 0;
}
