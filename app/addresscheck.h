#pragma once

#include "app/runvalues.h"
#include "app/updatecheck.h"

class PushBack;

/// How one server address answered the first half of the check.
struct AddressOutcome
{
    enum Kind {
        Listed,        ///< descriptor and list fetched and checked: result filled, listed too
        UpToDate,      ///< the release's list is the recorded one: nothing to fetch
        NotOut,        ///< a staged release this installation does not take yet
        AddressFailed, ///< this address could not serve the release; another may
        LocalFailure,  ///< nothing another address could change
    };
    Kind kind = AddressFailed;
    QString message;   ///< the failure text of the two failure kinds
};

/// Fetches and checks what address serves: the descriptor (and its signature in a
/// signed installation), then, unless the descriptor shows that nothing is to be
/// done, the list (and its SHA-256 companion). Every document is asked for with
/// the validators of its kept copy. A 429 or 503 with Retry-After is recorded in
/// pushBack.
AddressOutcome checkAddress(const RunValues &values, const QString &address, PushBack &pushBack,
                            UpdateCheckResult &result, UpdateFileMap &listed);

/// Adds the release's compressed copies and patches to the changed entries. The
/// index is only a shortcut: one that cannot be fetched, or is not the one the
/// descriptor names, leaves every file to be fetched whole.
void attachSmallerRoutes(const RunValues &values, UpdateCheckResult &result);

/// The installation's release floor, update_sequence.info.
QString sequenceRecordPath(const RunValues &values);
/// update.pub beside the executable.
QString trustAnchorPath(const RunValues &values);
