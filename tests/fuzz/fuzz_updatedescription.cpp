// An update description as the update server sends it: read for the
// program's section and compared with the installed version, as the check
// does when the description has arrived.

#include "FuzzReads.h"

#include "update/UpdateDecision.h"
#include "update/UpdateDescription.h"

#include <QByteArray>

using namespace velora;
using velora::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const UpdateDescription description = readUpdateDescription(bytes, descriptionSection(QStringLiteral("VeloraRBS")));
    for (const QString &installed : {QStringLiteral("9.0.1.51"), QString(), description.version}) {
        const bool older = versionSortsBefore(installed, description.version);
        require(!(older && versionSortsBefore(description.version, installed)), "versions are ordered one way");
        for (bool interactive : {false, true}) {
            const CheckOutcome outcome = decideCheckOutcome(installed, QStringLiteral("5"), description, interactive);
            require(older == (outcome == CheckOutcome::ShowNotice || outcome == CheckOutcome::SqlScriptsWarning),
                    "a notice is shown exactly for a newer version");
        }
    }
    return 0;
}
