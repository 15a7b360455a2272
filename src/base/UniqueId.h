// The unit's unique identifier, as the exchange's utility library provides it.
//
// The identifier is the content of the file <root>/etc/unique-id (written when
// the unit is made). Stateless; any thread may call it.
#pragma once

#include <string>

// Fills `id` with the file's content as it is (no trimming). False, with `id`
// empty, when the file is missing or unreadable.
bool GetUniqueID(std::string& id);
