// Internal to the library: name lists inside account and share files.
// The member field of a group line and the four user lists of an smb.conf
// share section; one editor serves the user transaction (renames and
// deletions of users) and the group operations (renames and deletions).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sdk {

// True for a line of one of the four share lists: "\twrite list=",
// "\tread list=", "\tvalid users=" or "\tinvalid users=".
bool IsShareListLine(std::string_view line);

// The replacement of one list item: nullopt keeps the item, "" drops it with
// its comma, any other text takes its place.
using ItemEdit = std::function<std::optional<std::string>(std::string_view item)>;

// Where the list of a line lies, as [begin, end) of its text: for a
// share-list line, after its '=' up to the line end; for a group line, its
// fourth field. begin is npos when the line holds no list. A share list
// that is empty means "everyone" to the file server: one that loses its
// last name is written as the "nobody" frame instead (framed).
struct ListSpan {
    size_t begin = std::string_view::npos, end = 0;
    bool framed = false;
};
ListSpan ShareListSpan(std::string_view line);
ListSpan GroupMembersSpan(std::string_view line);

// Edits the items of the comma list in span of line. The placeholder
// "nobody" that frames every list is never offered to edit. A framed list
// left without a name becomes "nobody,nobody". True when an item changed;
// the line is untouched otherwise.
bool EditListItems(std::string &line, ListSpan span, const ItemEdit &edit);

// Rewrites file into tmp, editing the list of every line that select()
// gives a span for. Other lines are copied byte for byte, and so is the end
// of the last line (with or without its newline). Result: 1 some line changed (tmp is left,
// finished, for the caller to rename), 0 nothing changed (tmp removed), -1 with the error code set
// (tmp removed).
int EditListFile(const char *file, const char *tmp,
                 const std::function<ListSpan(std::string_view)> &select, const ItemEdit &edit);

// The upper-cased form of a name (the key of the account hashes); nullopt
// when it cannot be converted.
std::optional<std::string> UpperName(std::string_view name);

}  // namespace sdk
