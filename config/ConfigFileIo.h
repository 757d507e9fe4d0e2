#pragma once

#include <string>

// File operations of a configuration save; each throws std::system_error (or
// std::runtime_error) with a text fit for the console when it fails.
namespace config_io {

// "<path>.<dd-mm-yyyy HH-MM-SS>.bak", in local time.
std::string backupName(const std::string& path);
// Copies the current file to the backup: the file's own mode, never through a
// link planted at its name, written whole and synced. A backup that cannot be
// created at all does not stop the save; one that cannot be written does.
void copyToBackup(const std::string& path, const std::string& backup);
// The end of a chain of symbolic links, so that a link stays a link and its
// target gets the new text.
std::string resolveLinks(std::string path);
// A file that nobody may write is the owner's choice to keep it: refused even
// for root, by its mode bits.
void checkWritable(const std::string& path);
// Writes the text to a temporary file beside `path`, syncs it and renames it
// over `path`, so that a failure at any point leaves the previous file untouched.
void replaceFileAtomically(const std::string& path, const std::string& text);

}  // namespace config_io
