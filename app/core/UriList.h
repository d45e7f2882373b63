// The file names of a drop: a text/uri-list (RFC 2483) as the drag source
// wrote it, turned into local paths as bytes. File managers write a name
// that is not UTF-8 (Shift-JIS from a Windows disk, Latin-1) with its
// bytes percent-encoded; decoding the URL as text would lose them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zumo {

// One path per "file:" URL, in list order: "file:///p", "file:/p" and
// "file://localhost/p" (or the host named by local_host) give "/p" with its
// %XX escapes decoded to bytes. Comment lines ("#"), empty lines, URLs of
// other schemes or other hosts and paths holding a zero byte are left out.
// Lines end in CR LF or LF.
std::vector<std::string> LocalPathsFromUriList(std::string_view list,
                                               std::string_view local_host = {});

} // namespace zumo
