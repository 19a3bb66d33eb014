// Passwords in the job ticket: each character as two base-23 digits of its
// code plus a letter of a repeating key.
#include "umpd.h"

#include <cstring>

namespace {

const char KEY[] = "Kemla";
const char base23[] = "0123456789ABCDEFGHIJKLM";
const size_t WORK_SIZE = 256;

}  // namespace

// Encodes the zero-terminated password in place; `size` is the real size of
// its buffer. As many characters are encoded as fit both that buffer and the
// work buffer (two digits each, then the terminator): 127 at most.
void EncryptUserPassword(char* userPassword, size_t size)
{
    if (!userPassword || size == 0) return;
    char tempPassword[WORK_SIZE];
    size_t room = ((size < WORK_SIZE ? size : WORK_SIZE) - 1) / 2;
    size_t out = 0;
    int16_t index = 0;
    for (size_t i = 0; userPassword[i] && i < room; i++) {
        int16_t encryptedValue = static_cast<int16_t>(static_cast<signed char>(userPassword[i]) +
                                                      static_cast<signed char>(KEY[index]));
        // A byte of 128 or above reads negative; the print server decodes the
        // unsigned value, which keeps both digits inside the alphabet.
        if (encryptedValue < 0) encryptedValue = static_cast<int16_t>(encryptedValue + 256);
        tempPassword[out++] = base23[encryptedValue / 23];
        tempPassword[out++] = base23[encryptedValue % 23];
        index = static_cast<int16_t>(index == 4 ? 0 : index + 1);
    }
    tempPassword[out] = 0;
    memcpy(userPassword, tempPassword, out + 1);
}
