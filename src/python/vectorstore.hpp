// The Python class Vectorstore: one core store plus a borrow flag.
#pragma once

#include "pyref.hpp"

namespace quillmere::py {

// The class object, created on the first call and cached for the life of the
// process (new reference). Unwinds with the creation error set.
Ref vectorstore_class();

}  // namespace quillmere::py
