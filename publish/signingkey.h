#pragma once

#include "update/minisign.h"

#include <QString>

/// Reads the --sign key file (`minisign -G`, or `-G -W` unencrypted). A password comes
/// from UPDATER_SIGN_PASSWORD, else from a terminal on standard input with echo off.
bool loadSigningKey(const QString &path, MinisignSecretKey &key, QString &errorMessage);
