#include "ferrule/callbacks.hpp"

#include "ferrule/entry.hpp"
#include "glue/names.hpp"

namespace ferrule {

namespace {

using namespace callbacks;

#define FERRULE_ROW(name, ...) Row{#name, entered<Callback::name, name>, __VA_ARGS__},
constexpr Row kRows[kCallbacks] = {FERRULE_CALLBACKS(FERRULE_ROW)};
#undef FERRULE_ROW

constexpr glue::Signature signature_of(const Row& row) {
    glue::Signature s{row.name, {"self"}, 1, 1, row.impl, nullptr};
    for (const ArgShape& a : row.args)
        if (a.name && a.parameter) s.params[s.nparams++] = a.name;
    s.nrequired = s.nparams;
    return s;
}

#define FERRULE_SIGNATURE(name, ...) signature_of(kRows[static_cast<std::size_t>(Callback::name)]),
constexpr glue::Signature kSignatures[kCallbacks] = {FERRULE_CALLBACKS(FERRULE_SIGNATURE)};
#undef FERRULE_SIGNATURE

#define FERRULE_NAME(name, ...) glue::Name{#name},
const glue::Name kNames[kCallbacks] = {FERRULE_CALLBACKS(FERRULE_NAME)};
#undef FERRULE_NAME

}  // namespace

const callbacks::Row& callback_row(Callback c) { return kRows[static_cast<std::size_t>(c)]; }

PyObject* callback_name(Callback c) { return kNames[static_cast<std::size_t>(c)]; }

const glue::Signature& callback_signature(Callback c) { return kSignatures[static_cast<std::size_t>(c)]; }

}  // namespace ferrule
