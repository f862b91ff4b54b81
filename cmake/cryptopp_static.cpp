// Linked into every program that links Crypto++'s static archive.
//
// The archive's object for the DLL instantiations defines, among many
// public-key templates, four instantiations its headers declare extern; a
// program that uses a hash filter or a hex encoder pulls that object in, and
// with it the elliptic-curve, DSA, random-pool and AES code: about 1.4 MB of
// code and 110 KB of vtables that the loader relocates and every process
// start faults in. Defining the four here keeps that object out.
//
// The error texts of the library's core need IntToString<word64>, which the
// archive defines beside its big-integer class; it is defined here in the
// same way, so the big-integer code stays out too. Without that class in the
// program no parameter can be asked for as one, so AssignIntToInteger, which
// converts an int parameter to it, has nothing to assign. Should anything
// pull the big-integer object in after all, the two definitions clash and the
// link fails: it never silently uses these.
#include <crypto++/algparam.h>
#include <crypto++/filters.h>
#include <crypto++/misc.h>

#include <string>
#include <typeinfo>

template class CryptoPP::AlgorithmParametersTemplate<bool>;
template class CryptoPP::AlgorithmParametersTemplate<int>;
template class CryptoPP::AlgorithmParametersTemplate<CryptoPP::ConstByteArrayParameter>;
template class CryptoPP::StringSinkTemplate<std::string>;

namespace CryptoPP {

// The high bit of base asks for upper-case letters, as the library's own.
template <>
std::string IntToString<word64>(word64 value, unsigned int base) {
  const unsigned int upperCase = 1U << 31;
  const char letter = (base & upperCase) != 0 ? 'A' : 'a';
  base &= ~upperCase;
  if (base < 2 || base > 36) base = 10;
  if (value == 0) return "0";
  std::string digits;
  while (value > 0) {
    const auto digit = static_cast<unsigned>(value % base);
    digits.insert(digits.begin(),
                  static_cast<char>(digit < 10 ? '0' + digit : letter + (digit - 10)));
    value /= base;
  }
  return digits;
}

bool AssignIntToInteger(const std::type_info&, void*, const void*) { return false; }

}  // namespace CryptoPP
