// Out-of-line destructor: gives the crash library's exception class one home
// for its type information, so a throw in one module is caught in another.
#include "zel_types.h"

ZelException::~ZelException() = default;
