// The shared handle table under the name the older files of this backend use.
#pragma once

#include "platform/common/handle_table.h"
