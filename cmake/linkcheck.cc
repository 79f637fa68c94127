// The one source of every ostrak_<name>_linkcheck shared object: the object
// is made of the whole static library it checks (see cmake/ostrak.cmake), so
// this file adds nothing.
