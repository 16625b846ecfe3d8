#pragma once

// The T.4 code tables live with the fax engine, whose copy-quality check decodes pages as
// they arrive; the image side uses the same tables.

#include "fax/t4_codes.h"

namespace quillon::faximage {

using fax::kBlackMakeUp;
using fax::kBlackTerminating;
using fax::kEolCode;
using fax::kExtendedMakeUp;
using fax::kWhiteMakeUp;
using fax::kWhiteTerminating;
using fax::TT4Code;

} // namespace quillon::faximage
