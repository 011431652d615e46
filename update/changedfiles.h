#pragma once

#include "update/filelist.h"

#include <QDir>

/// The entries of files that have to be fetched. The record update_md5.info in
/// root decides for every path it knows (no file access); unrecorded paths are
/// hashed on disk, and an unreadable or different file is selected.
UpdateFileMap findChangedFiles(UpdateFileMap files, QDir root);
