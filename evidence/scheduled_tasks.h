// Scheduled tasks whose action is a COM handler: the XML task files of a Windows volume.
#pragma once

#include "evidence/class_loaders.h"

#include <cstddef>
#include <string>
#include <vector>

// Limits on what a hostile volume can make the reader do.
constexpr std::size_t MOST_TASK_FILE_BYTES = 1 << 20; // Windows' own task files are a few KiB
constexpr std::size_t MOST_TASK_FILES = 100000;
constexpr unsigned MOST_TASK_FOLDER_DEPTH = 32;

// The COM handler of one task file's XML (UTF-16 or UTF-8, as its byte order mark or
// declaration says): the class of each Actions/ComHandler/ClassId. A file with a document type
// declaration, or that is not well-formed, gives nothing and false; no entity is expanded and
// nothing outside the text is fetched.
bool task_com_handlers(const std::string &xml, std::vector<std::string> &classes);

// Reads every regular file under the folder `tasks` (inside the ROOT `root`, named relative to
// it: "Windows/System32/Tasks"), without following links, and adds a reference for each COM
// handler; `notes` gets one line for each kind of file passed over (too large, not XML, links,
// folders too deep or too many files), naming the first and counting the rest.
void read_task_loaders(const std::string &root, const std::string &tasks,
                       std::vector<ClassLoader> &out, std::vector<std::string> &notes);
