#pragma once

#include <string>

// File operations of a configuration save; each throws std::system_error (or
// std::runtime_error) with a text fit for the console when it fails.
namespace config_io {

// Writes `contents` (the file as the save read it) to a new backup beside
// `path`, named "<path>.<dd-mm-yyyy HH-MM-SS>.bak" in local time, or with
// ".1", ".2"... before ".bak" when that name is taken: a backup never
// replaces another. It gets the file's mode (and owner where possible), is
// written whole and synced under a temporary name, then linked to its name;
// the directory is synced. Returns the backup's name; nothing is left behind
// when it fails.
std::string makeBackup(const std::string& path, const std::string& contents);
// The end of a chain of symbolic links, so that a link stays a link and its
// target gets the new text. A link owned by neither root nor this user is
// refused: whoever owns it could point the save at any file.
std::string resolveLinks(std::string path);
// A file that nobody may write is the owner's choice to keep it: refused even
// for root, by its mode bits.
void checkWritable(const std::string& path);
// Writes the text to a temporary file beside `path` with the owner, group and
// mode of `path`, syncs it and renames it over `path`, so that a failure at
// any point leaves the previous file untouched.
void replaceFileAtomically(const std::string& path, const std::string& text);
// Removes the temporary files that a save killed half-way left beside `path`
// (only names this program makes), one console line each.
void removeSaveLeftovers(const std::string& path);

}  // namespace config_io
