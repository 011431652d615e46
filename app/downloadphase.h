#pragma once

#include "app/runvalues.h"
#include "app/updatecheck.h"
#include "app/updaterun.h"

/// The second half of an attempt: the notice for an optional update, the worker in
/// the progress dialog (or, silently, in the application's loop), the file record,
/// and the ending or a new attempt.
/// Takes the changed entries out of check.
AttemptEnd runDownloadPhase(const RunValues &values, UpdateCheckResult &check);
