// Whether a host path lies inside a folder; in registry/, below files/ and evidence/ that use it.
#pragma once

#include <string_view>

// Whether `path` is `root` or lies below it, compared as texts (resolve links first where they
// matter); the root "/" holds every path.
inline bool path_inside(std::string_view root, std::string_view path) {
    return root == "/" || path == root ||
           (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
            path[root.size()] == '/');
}
