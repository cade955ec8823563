#include "inst/inst_manager.h"

#include "base/runtime.h"

namespace mew {

void InstManager::initialize_inst_list(InstStation &mew, Registry &registry) {
    for (std::int64_t station = 1;; ++station) {
        try {
            std::int64_t code = Inst::query_inst_type(mew, station);
            int kind = code == INST_TYPE_XY     ? INST_TYPE_XY
                       : code == INST_TYPE_Axis ? INST_TYPE_Axis
                       : code == INST_TYPE_AD   ? INST_TYPE_AD
                                                : INST_TYPE_UNKNOWN;
            registry.add(kind, station);
        } catch (...) {
            if (runtime::describe(std::current_exception()).interrupt) throw;
            return;
        }
    }
}

}  // namespace mew
