// A table of engine entries (patterns or sequences) under int ids, iterated in
// ascending id order. Ids asked as -1 are handed out from nextId, which never
// goes down; explicit ids may leave gaps that -1 never fills. Owned by the
// engine core; used only under its caller's lock.
#pragma once

#include <climits>
#include <map>
#include <utility>

#include "tessaron-core/src/tsr/engine_codes.h"

namespace tsr {

template <class T>
class IdTable {
public:
    using Map = std::map<int, T>;

    // The id used (>= 0), -100 for a negative id other than -1, -97 for an id
    // in use; on failure nothing is inserted. nextId stops at INT_MAX, so once
    // INT_MAX is taken every automatic id is refused with -97.
    int insert(int id, T&& entry) {
        const int resolved = checkId(id);
        if (resolved < 0) return resolved;
        entries_.emplace(resolved, std::move(entry));
        if (resolved >= nextId_) nextId_ = resolved == INT_MAX ? INT_MAX : resolved + 1;
        return resolved;
    }

    // What insert would answer for id, without inserting: the id to use or the code.
    int checkId(int id) const {
        if (id == -1) id = nextId_;
        else if (id < 0) return kErrorInvalidArgument;
        if (entries_.count(id) != 0) return kErrorAlreadyAllocated;
        return id;
    }

    // Null when absent.
    T* find(int id) {
        const auto it = entries_.find(id);
        return it == entries_.end() ? nullptr : &it->second;
    }
    const T* find(int id) const {
        const auto it = entries_.find(id);
        return it == entries_.end() ? nullptr : &it->second;
    }
    bool contains(int id) const { return entries_.count(id) != 0; }
    void erase(int id) { entries_.erase(id); }

    // Raises nextId to n when n is above it; returns nextId.
    int reserve(int n) {
        if (n > nextId_) nextId_ = n;
        return nextId_;
    }

    int nextId() const { return nextId_; }
    std::size_t size() const { return entries_.size(); }
    Map& entries() { return entries_; }
    const Map& entries() const { return entries_; }

private:
    int nextId_ = 0;
    Map entries_;
};

}  // namespace tsr
