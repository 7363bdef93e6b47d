// Defines the exports of one list (korvex_exports.h): each line
//   E(P, result, name, operation, (parameters), (arguments))
// becomes an extern "C" function forwarding to korvex::exports::P::operation,
// where each src/exports file names, for every prefix P of its list, the
// struct that holds that family's operations.
#pragma once

#include "korvex.h"

#define KORVEX_DEFINE(P, R, NAME, OP, PARAMS, ARGS) \
    KORVEX_API R NAME PARAMS { return ::korvex::exports::P::OP ARGS; }
