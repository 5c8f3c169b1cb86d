// The shared handle table under the name the older files of this backend use.
#pragma once

#include "platform/common/handle_table.h"

namespace win::detail {

template <typename Handle, typename Object>
using LiveObjects = HandleTable<Handle, Object>;

}  // namespace win::detail
