// Replaces a file whole or not at all. The new content goes to a temporary file in the same
// directory, is flushed to the disk and then renamed over the old file, so a reader (or a crash
// at any moment) sees either the complete old content or the complete new content, never a
// truncated mix. The old file's permission bits are kept. Temporary files that a killed writer
// left behind are removed by the next replacement of the same file.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace trabix {

// Points inside ReplaceFileContent at which a test may fail or stop the replacement.
enum class TReplaceStep {
    TempCreated,  // the temporary file exists and is still empty
    PartWritten,  // one chunk of the content is in the temporary file
    TempSynced,  // the temporary file is complete and on the disk
    Renamed,  // the new content has taken the old file's place (the result no longer matters)
};

// Returns false to make the replacement fail at that step. Called on the writing thread.
using TReplaceHook = std::function<bool(TReplaceStep)>;

// Test seam: installs a hook for every later replacement; an empty hook removes it.
// Not thread safe: set it while no replacement runs.
void SetReplaceHookForTesting(TReplaceHook Hook);

// Writes Content to Path through a temporary file and rename. A symbolic link at Path is
// followed, so the link stays and its target gets the new content. On failure the temporary
// file is removed, the old file is untouched and the result is false. A file without write
// permission for the caller is not replaced.
// Thread safe for different paths; two writers of one path race (the last rename wins whole).
bool ReplaceFileContent(const std::string& Path, std::string_view Content);

}  // namespace trabix
