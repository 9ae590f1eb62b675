#include "core/table.h"

namespace mevora {

template class FlatTable<KeyspaceSlots>;

}  // namespace mevora
