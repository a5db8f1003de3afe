// Classification of message classes and container classes into item kinds.
#pragma once

#include <string_view>

#include "items/item_record.h"

namespace palvara {

// Compares `text` with `literal` after upper-casing, for at most `count` characters; 0 when
// equal (the literal ending, or the text ending, counts as equal), else -1 or 1. When `count`
// characters matched and both strings go on, the next characters decide.
int ClassPrefixEquals(std::string_view literal, std::string_view text, std::size_t count);

// The kind of an item from its message class (PidTagMessageClass).
ItemKind ClassifyMessageClass(std::string_view messageClass);

// The kind of a folder from its container class (PidTagContainerClass); the mail folders of
// IMAP accounts ("IPF.Imap") hold mail like "IPF.Note" ones.
ItemKind ClassifyContainerClass(std::string_view containerClass);

}  // namespace palvara
