// Guards that keep hostile property lists away from libplist. Debian 12's libplist 2.2 bounds
// none of these itself. It recurses once per level of nesting while reading and freeing: an XML
// list of 70,000 nested arrays, which fits in 1 MiB, overflows a 2 MiB thread stack, and a binary
// one of 75,000 takes seconds to read (its cycle check grows with the depth). And it copies a
// binary list's shared objects at every reference, so a few hundred bytes can unfold into
// billions of objects. The guards look only at the shape.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/posix/Posix.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace drovix {

// Deeper nesting of arrays and dictionaries is refused.
inline constexpr int maxPropertyListDepth = 64;

// A binary list that would unfold into more objects than this is refused.
inline constexpr std::size_t maxPropertyListObjects = 1 << 17;

// Why the bytes must not reach libplist ("not a property list", "nested more than 64 levels
// deep", "has too many objects"), or absent when libplist may read them. Only XML and binary
// lists pass.
std::optional<posix::Failure> unsafePropertyListShape(std::string_view bytes);

} // namespace drovix
