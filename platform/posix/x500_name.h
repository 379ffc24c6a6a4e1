// Distinguished names as Windows writes them for CERT_X500_NAME_STR (CertNameToStrW,
// CertGetNameStringW with CERT_NAME_RDN_TYPE), from the name's DER encoding:
//   - the RDNs in their encoded order, ", " between RDNs and " + " between the values
//     of one RDN;
//   - each value as "KEY=value" with Windows' key names (CN, L, O, OU, E, C, S,
//     STREET, T, G, I, SN, DC, SERIALNUMBER, ...) and "OID.<dotted>" for the rest;
//   - a value is quoted ("...") when it is empty, has leading or trailing white space,
//     or holds any of , + = " < > # ; or a line break; a quote inside is doubled;
//   - string values are decoded to UTF-16 by their type (UTF8String, and T61String
//     when it reads as UTF-8, else as Latin-1; PrintableString, IA5String,
//     NumericString and VisibleString byte for byte; BMPString; UniversalString);
//     an OCTET STRING is "#" and the hex of its content, any other type "#" and the
//     hex of its whole encoding, never quoted.
// Internal to the posix backend.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform {

// Renders the Name at `der` (`size` bytes) into `out` (capacity `cap` UTF-16 units,
// NUL included), cut to fit as CertNameToStrW does. Returns the units the whole text
// needs with its NUL. A name that is not DER renders as far as it could be read.
size_t X500NameToString(const uint8_t* der, size_t size, char16_t* out, size_t cap);

}  // namespace acdc::platform
