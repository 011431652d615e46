#pragma once

#include "app/runvalues.h"

/// How one half of an attempt ended: the run is over with an exit code, a new
/// attempt begins, or (after the check only) the download phase follows.
struct AttemptEnd
{
    enum Kind { Finished, NewAttempt, Download };
    Kind kind = Finished;
    int exitCode = 1;

    static AttemptEnd finished(int exitCode) { return {Finished, exitCode}; }
    static AttemptEnd newAttempt() { return {NewAttempt, 1}; }
    static AttemptEnd download() { return {Download, 1}; }
};

/// The update run: attempts of the update check and the download phase until one
/// of them ends the run. Runs on the GUI thread; returns the process exit code.
int runUpdate(const RunValues &values);
