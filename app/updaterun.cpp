#include "app/updaterun.h"

#include "app/downloadphase.h"
#include "app/updatecheck.h"

int runUpdate(const RunValues &values)
{
    for (;;) {
        UpdateCheckResult check;
        const AttemptEnd checked = checkForUpdate(values, check);
        if (checked.kind == AttemptEnd::NewAttempt)
            continue;
        if (checked.kind == AttemptEnd::Finished)
            return checked.exitCode;
        const AttemptEnd downloaded = runDownloadPhase(values, check);
        if (downloaded.kind == AttemptEnd::Finished)
            return downloaded.exitCode;
    }
}
