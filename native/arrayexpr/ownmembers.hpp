// Whether MVar and MLinExpr are still as this module made them. The speed
// paths of the sums build a result without calling members that the general
// path calls (MVar._toexpr, MLinExpr.__add__, copy, __iadd__, ...); they may
// do so only while those members are the classes' own, so that a member
// replaced on the class is called as usual.
#pragma once

#include "arrayexpr.hpp"

namespace arrayexpr {

// Records the members (functions, class and static methods, properties)
// that the module put on MVar and MLinExpr. Run once at load, after both
// classes are made.
void record_own_members();

// Whether the module globals MVar and MLinExpr are the classes the module
// made, each still holding every member it was made with (the type's
// dictionary entry compared by identity). The answer is kept until either
// class changes (its version tag), so a call costs a few loads and compares.
bool own_members();

} // namespace arrayexpr
