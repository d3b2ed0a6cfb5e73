#pragma once

/// \file
/// The framework's binary encoding of methods.

#include <cstddef>
#include <sstream>

#include "FrameworkExport.h"
#include "ProtocolAdapter.h"

/// A compact, versioned binary encoding of a Method. Every value has exactly one encoding, so
/// what decodes re-encodes to the same bytes:
///
///     method    = version:u8 (1) | type:u8 (0 request, 1 reply) | name:string | count:varint
///                 | count x parameter
///     parameter = name:string | type:u8 (0 string, 1 bool) | direction:u8 (0 in, 1 out)
///                 | value: string, or u8 0 / 1 for a bool
///     string    = length:varint | length bytes
///     varint    = unsigned LEB128 of at most 32 bits, in its shortest form
///
/// decode takes everything left in the stream as one Method and refuses anything else: an
/// unknown version, type or direction, a declared length or count beyond the data, trailing
/// bytes, or more than kMaxEncodedSize bytes. It allocates no more than the input justifies.
/// The adapter has no state: several threads may use one at once, each with its own streams.
class FRAMEWORK_API BinaryProtocolAdapter final : public ProtocolAdapter {
public:
    /// The name hosts register this adapter under.
    static constexpr char kProtocolName[] = "binary";
    /// The version byte every encoding starts with; decode refuses any other.
    static constexpr unsigned char kVersion = 1;
    /// The most bytes decode reads as one Method.
    static constexpr size_t kMaxEncodedSize = 16 * 1024 * 1024;

    /// Appends the encoding of method to out.
    void encode(Method& method, std::stringstream& out) override;
    /// Reads the rest of in as one Method into method. False for anything the encoding refuses
    /// (see the class); then method is left as it was.
    bool decode(std::stringstream& in, Method& method) override;
};
