#pragma once
// Digests, hex text and the release signature: the primitives the engine's trust rests on.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Stop.h"

namespace vt {

using TBytes = std::vector<uint8_t>;

// The bytes of Text, for the calls that hash, sign or write bytes.
inline TBytes TextBytes(std::string_view Text) {
  return TBytes(Text.begin(), Text.end());
}

// Hex text to bytes. An odd number of characters gives an empty result (not an error); a
// character other than 0-9, a-f, A-F raises std::invalid_argument (a conversion error).
TBytes HexToBytes(std::string_view Text);
// The value of one hex digit of either case; -1 for any other character.
int HexValue(char C);
// True when Text is exactly Size hex digits of either case.
bool IsHexText(std::string_view Text, size_t Size);

// Bytes as lowercase hex, two digits per byte, high digit first.
std::string BytesToHex(std::span<const uint8_t> Bytes);

// SHA-256 of all of Bytes as 64 lowercase hex digits.
std::string Sha256Hex(std::span<const uint8_t> Bytes);

// SHA-256 of a file's whole contents as lowercase hex, read in pieces of 64 KiB.
// Raises with the open or read error's message, or TStopped once Stop is requested.
std::string FileSha256Hex(const std::string& Path, const TStopToken& Stop = {});

// True when Text (128 hex digits of r||s, blanks and control characters allowed around them)
// is a valid ECDSA P-256 / SHA-256 signature of Data under the built-in release key.
// Never raises.
bool VerifySignature(std::span<const uint8_t> Data, std::string_view Text);

// The same check against the key given as hex texts of X and Y.
bool VerifySignatureWithKey(std::span<const uint8_t> Data, std::string_view Text,
                            std::string_view KeyX, std::string_view KeyY);

}  // namespace vt
