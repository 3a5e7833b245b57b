#include "ferrule/engine.hpp"

#include "ferrule/state.hpp"
#include "glue/fastcall.hpp"

namespace ferrule {

namespace {

Global gl_system_log{"system_log"};
glue::Name k_info{"info"};
Global gl_copy{"copy"};
glue::AttrOf a_deepcopy{"deepcopy"};
Global gl_Environment{"Environment"};
glue::Name k_get_instance{"get_instance"};
glue::ClassMethodCall cm_get_instance{k_get_instance};

}  // namespace

// The logger is the engine's; reading its __dict__ (to remember its method)
// would make the interpreter build one, slowing its own attribute reads.
int log_info(PyObject* text) { return gl_system_log.call_method(k_info, text) ? 0 : -1; }

glue::Ref deepcopy(PyObject* obj) {
    glue::Ref fn = gl_copy.attr(a_deepcopy);
    return fn ? glue::call(fn.get(), obj) : glue::Ref();
}

glue::Ref environment() {
    glue::Ref cls = gl_Environment.get();
    if (!cls) return glue::Ref();
    auto get_instance = cm_get_instance.get(cls.get());
    if (!get_instance.fn) return glue::Ref();
    PyObject* argv[] = {nullptr};
    return glue::ClassMethodCall::call(get_instance, argv + 1, 0);
}

}  // namespace ferrule
