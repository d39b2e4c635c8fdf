// File utilities with the engine's fixed diagnostics: create, create with
// content, work files, appends (every log line goes through appendToFile),
// and the folder test.  None takes a lock: callers that share a file hold
// their mutex around the call.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv {

// Creates an empty file (truncating one that exists).  0 or -1.
int Createfile(const std::string& path);

// Creates the file with exactly these bytes.  0 or -1.
int CreateFileWith(const std::string& path, std::string_view bytes);

// Creates (truncating) a work file and writes the text when there is one.
// 0, or -1 after the "UNABLE TO CREATE TEMP FILE!" lines.
int createTempFile(const std::string& path, std::optional<std::string_view> text);

// Opens the file for appending, creating it (with a "CREATING TEMP FILE"
// line) when it does not exist; -1 after the diagnostic when it cannot.
int openForAppend(const std::string& path);

// Appends the text to the open file `path` names; a write that fails
// halfway is taken back.  0, or -1 after the "UNABLE TO WRITE" lines.
int appendTo(int fd, const std::string& path, std::string_view text);

// Appends the text, creating the file (with a "CREATING TEMP FILE" line)
// when it does not exist.  No text: 0 and nothing happens.  0 or -1.
int appendToFile(const std::string& path, std::optional<std::string_view> text);

// 1 when the path names a folder that can be listed, else 0.
int folderExists(const std::string& path);

}  // namespace qv
