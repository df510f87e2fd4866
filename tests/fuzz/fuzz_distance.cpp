// An answer body of the distance service, decoded as the client decodes the
// body it received and read by readDistanceAnswer.

#include "net/DistanceClient.h"
#include "shell/TextRules.h"

#include <QByteArrayView>

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString body = fromAnsi(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    const DistanceAnswer answer = readDistanceAnswer(body);
    // A distance is a whole number of metres read within 32 bits.
    if (!std::isfinite(answer.kilometers.distance) || std::fabs(answer.kilometers.distance) > 2147483.648)
        std::abort();
    return 0;
}
