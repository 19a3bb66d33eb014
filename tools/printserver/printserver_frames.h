// The secure-access service's frames as the reference print server reads
// them: the magic "PCAC", the body length (32-bit big-endian), then fields,
// each a 16-bit big-endian length and that many bytes. Also the identity
// line of a validate-info request and the ticket's password encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

const size_t FRAME_MAX = 1024;      // the largest frame the driver builds
const size_t FRAME_HEADER_BYTES = 8;

// The n (at most 4) bytes at p as a big-endian number.
uint32_t BigEndian(const unsigned char* p, int n);

// in: the 8 header bytes; out: the body length they announce. False when
// they are no header, or announce more than a frame holds.
bool FrameBodyLength(const unsigned char* header, size_t* length);

// in: a frame's body; out: its fields. False when the lengths do not add up.
bool SplitFields(const unsigned char* body, size_t size, std::vector<std::string>* fields);

// The fields of an identity line (TAB between fields, CR dropped).
std::vector<std::string> SplitLine(const std::string& line);

// Decodes a password of the ticket: each pair of base-23 digits less the key
// letter (the encoding adds 256 to a negative sum). "(not decodable)" when a
// digit is not one.
std::string DecodePassword(const std::string& digits);
