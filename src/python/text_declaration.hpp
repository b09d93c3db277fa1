// The text form of declaration: an owner class and a whole text signature written out
// ("sample_n($self, n, seed=None)"), parsed on first use. continuous.cpp is still declared
// this way; every other area uses Declaration (declaration.hpp), which this form is to be
// replaced by.
#pragma once

#include "python/declaration.hpp"

namespace varnix::py {

// Parses "name(a, b=None, $self ...)" into a Signature. owner is the class name or null.
Signature parse_signature(const char* owner, const char* text);

struct Decl {
    const char* owner;
    const char* text;
    const Signature& signature() const;  // parsed on first use, kept for the process lifetime
    const char* doc() const { return signature().doc.c_str(); }
};

}  // namespace varnix::py
