// Cost of the codec per packet: one typical new-ride packet from envelope text
// to ride order, and one status message from record to envelope.
#include "wire/RideOrder.h"
#include "wire/RideResults.h"

#include <benchmark/benchmark.h>

using namespace velora;

namespace {

QString typicalNewRidePacket()
{
    QStringList items(kRideOrderItemCount, QStringLiteral("0"));
    const auto set = [&items](int index, const char *value) { items[index] = QString::fromUtf8(value); };
    set(0, "NR");
    set(1, "RBS");
    set(3, "1234567");
    for (int index : {4, 5, 23, 24, 49})
        set(index, "201403051407");
    set(6, "1");
    set(9, "T");
    set(10, "Mevr. A.B. de Vries-Jansen");
    set(11, "Koningin Wilhelminastraat");
    set(12, "3512 AB");
    set(13, "Utrecht");
    set(14, "112 bis");
    set(15, "Achteringang bij de apotheek");
    set(17, "Ziekenhuislaan");
    set(18, "3584 CX");
    set(19, "Utrecht");
    set(20, "100");
    set(21, "Hoofdingang, balie 3");
    set(25, "884422");
    set(27, "1875");
    set(28, "310");
    set(32, "T");
    set(38, "Graag bellen bij aankomst, \"slecht ter been\"");
    set(39, "JDV");
    set(40, "0301234567");
    set(42, "R");
    set(56, "Rolstoel, begeleider");
    set(57, "WMO-2014");
    set(59, "R");
    set(60, "1234500");
    set(69, "");
    set(70, "UMC Utrecht");
    set(95, "600");
    for (int index : {34, 35, 36, 37, 46, 53, 54, 61, 62, 64, 65, 87, 88})
        items[index] = QStringLiteral("F");
    return WrapEnvelope(EncodeHexText(WriteCommaList(items))).chopped(7) + QStringLiteral("\r\n");
}

tRitResults typicalStatus()
{
    tRitResults r;
    r.PacketType = "RS";
    r.Sender = "RBS";
    r.MessageCode = 18;
    r.RideNumber = 1234567;
    r.AmountCents = 1875;
    r.AssignedTime = wallClock(QDate(2014, 3, 14), QTime(10, 15));
    r.DestinationTime = wallClock(QDate(2014, 3, 14), QTime(10, 32));
    r.ReleasedTime = wallClock(QDate(2014, 3, 14), QTime(10, 55));
    r.PassNumber = "P1234567";
    r.FixedLetter = "A";
    r.FromLocation = 12;
    r.ToLocation = 34;
    r.PickupLatitude = "52,0907374";
    r.PickupLongitude = "5,1214201";
    r.DestinationLatitude = "52,0860012";
    r.DestinationLongitude = "5,1795312";
    r.EtaClock = wallClock(QDate(2014, 3, 14), QTime(10, 30));
    r.Plate = "12ABC3";
    r.FuelCode = "D";
    return r;
}

void decodeAndParseNewRide(benchmark::State &state)
{
    const QString envelope = typicalNewRidePacket();
    for (auto _ : state) {
        tRitOrder order = ParseRideOrder(DecodeHexText(*UnwrapEnvelope(envelope)));
        benchmark::DoNotOptimize(order);
    }
    state.SetLabel(QStringLiteral("%1 characters").arg(envelope.size()).toStdString());
}

void receiveDecodeAndParseNewRide(benchmark::State &state)
{
    const QByteArray bytes = typicalNewRidePacket().toLatin1();
    for (auto _ : state) {
        tRitOrder order = ParseRideOrder(DecodeHexText(*UnwrapEnvelope(receivedText(bytes))));
        benchmark::DoNotOptimize(order);
    }
}

void composeStatusMessage(benchmark::State &state)
{
    const tRitResults results = typicalStatus();
    for (auto _ : state) {
        QString envelope = WrapEnvelope(EncodeHexText(ResultsToCommaText(results)));
        benchmark::DoNotOptimize(envelope);
    }
}

} // namespace

BENCHMARK(decodeAndParseNewRide);
BENCHMARK(receiveDecodeAndParseNewRide);
BENCHMARK(composeStatusMessage);
BENCHMARK_MAIN();
