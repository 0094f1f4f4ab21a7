#ifndef MIREL_VARNO_BASE_DATATYPE_H
#define MIREL_VARNO_BASE_DATATYPE_H

#include <cstdint>

namespace mirel_varno {

// The data type code of a frame, which also tells the form of a parameter's
// value; shared by the protocol and the parameter record.
enum class DataType : uint8_t {
    None = 0,
    Byte = 1,
    Bytes = 3,
    Word = 5,
    DWord = 11,
    Packed = 13,
    Float = 25,
    Text = 29,
    Block8 = 31,
    Address = 33
};

}  // namespace mirel_varno

#endif
