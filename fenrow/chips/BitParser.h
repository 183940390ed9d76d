// Bit commands: a typed list that forces single register bits of a chip,
// for bits that have no widget of their own.
//
// The list is items separated by commas (runs of commas are one separator),
// each BITS "=" VALUE with blanks allowed around both; BITS is a bit number
// or an interval A "-" B (both ends included) in decimal digits, VALUE is 0
// or 1. Example: "5=1, 12 = 0, 100-107=1".
#ifndef BRISKO_FENROW_CHIPS_BITPARSER_H
#define BRISKO_FENROW_CHIPS_BITPARSER_H

#include <string>

class bitset;

// Parses the list and applies it to the bit vector, all or nothing: a bad
// item is reported on standard output and nothing is changed. Every
// accepted bit is reported as "Set(bit,value) "; bits at or beyond the
// vector's size are reported but not applied. An interval that reaches
// beyond the vector is refused before it is expanded. True when the list
// was applied.
bool bit_parser(const std::string& input, bitset* bits);

// Every character a decimal digit (the empty text passes).
bool is_a_number(std::string& text);

#endif
