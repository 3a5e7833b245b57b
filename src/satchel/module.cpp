// The credential store: the data-service login kept in environment variables,
// written to the user's persistent environment and to this process.
#include <Python.h>

#include "glue/global.hpp"
#include "glue/module.hpp"
#include "glue/output.hpp"
#include "glue/runtime.hpp"

namespace satchel {
namespace {

// Filled last at load: a failed load must not leave it holding a dead module.
glue::Namespace ns;
const glue::Namespace& module_namespace() { return ns; }
using Global = glue::Global<module_namespace>;

Global gl_os{"os"};
Global gl_sys{"sys"};
Global gl_subprocess{"subprocess"};
Global gl_click{"click"};
Global gl_update_bash_file{"update_bash_file"};
glue::Name k_environ{"environ"};
glue::Name k_get{"get"};
glue::Name k_echo{"echo"};
glue::Name k_platform{"platform"};
glue::Name k_startswith{"startswith"};
glue::Name k_run{"run"};
glue::Name k_returncode{"returncode"};
glue::Name k_format{"format"};
glue::KwNames kw_capture{"capture_output"};
glue::KwNames kw_message{"var_name", "value"};

glue::Name t_license_var{"CORVINA_LICENSE"};
glue::Name t_license_label{"corvina license"};
glue::Name t_win{"win"};
glue::Name t_setx{"setx"};
glue::Name t_hidden{"******"};
glue::Name t_not_configured{"当前环境未配置用户名和密码"};
glue::Name t_was_set{"当前 {var_name} 已设置为 {value}"};
glue::Name t_restart{"请重启当前的 terminal "};

int echo(PyObject* text) {
    return gl_click.call_method(k_echo, text) ? 0 : -1;
}

glue::Ref environ() {
    return gl_os.attr(k_environ);
}

PyObject* get_license_info(PyObject* const* a) {
    glue::Ref env = environ();
    if (!env) return nullptr;
    glue::Ref value = glue::call_method(env.get(), k_get, a[0]);
    if (!value) return nullptr;
    Py_ssize_t colon = -1;
    if (value.get() != Py_None) {
        if (!PyUnicode_Check(value.get())) {
            PyErr_Format(PyExc_TypeError, "environment variable %R holds %.200s, not str", a[0],
                         Py_TYPE(value.get())->tp_name);
            return nullptr;
        }
        colon = PyUnicode_FindChar(value.get(), ':', 0, PyUnicode_GET_LENGTH(value.get()), 1);
        if (colon == -2) return nullptr;
    }
    // Without a ":" there is no user name to split off: as good as missing.
    if (colon < 0) {
        if (echo(t_not_configured) < 0) return nullptr;
        return PyTuple_Pack(2, Py_None, Py_None);
    }
    glue::Ref user = glue::Ref::steal(PyUnicode_Substring(value.get(), 0, colon));
    if (!user) return nullptr;
    glue::Ref password =
        glue::Ref::steal(PyUnicode_Substring(value.get(), colon + 1, PyUnicode_GET_LENGTH(value.get())));
    if (!password) return nullptr;
    return PyTuple_Pack(2, user.get(), password.get());
}

// sys.platform.startswith("win"): 1, 0, or -1 with the error set.
int on_windows() {
    glue::Ref platform = gl_sys.attr(k_platform);
    if (!platform) return -1;
    glue::Ref win = glue::call_method(platform.get(), k_startswith, t_win.get());
    return win ? PyObject_IsTrue(win.get()) : -1;
}

// subprocess.run(["setx", name, value], capture_output=True): no shell sees the
// value, and a failure is reported instead of being announced as success.
int setx(PyObject* name, PyObject* value) {
    glue::Ref run = gl_subprocess.attr(k_run);
    if (!run) return -1;
    glue::Ref argv = glue::Ref::steal(PyList_New(3));
    if (!argv) return -1;
    PyList_SET_ITEM(argv.get(), 0, Py_NewRef(t_setx.get()));
    PyList_SET_ITEM(argv.get(), 1, Py_NewRef(name));
    PyList_SET_ITEM(argv.get(), 2, Py_NewRef(value));
    PyObject* args[] = {nullptr, argv.get(), Py_True};
    glue::Ref done = glue::call_kw(run.get(), args + 1, 1, kw_capture);
    if (!done) return -1;
    glue::Ref rc = glue::getattr(done.get(), k_returncode);
    if (!rc) return -1;
    glue::Ref zero = glue::Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    int failed = PyObject_RichCompareBool(rc.get(), zero.get(), Py_NE);
    if (failed > 0) PyErr_Format(PyExc_OSError, "setx could not set %R (exit status %S)", name, rc.get());
    return failed ? -1 : 0;
}

// The list's own items, read afresh on each turn: the calls in between run
// Python code that may change it.
template <class F>
int for_each_name(PyObject* names, F&& f) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        glue::Ref name = glue::Ref::borrow(PyList_GET_ITEM(names, i));
        if (f(name.get()) < 0) return -1;
    }
    return 0;
}

// The login as the confirmation shows it: the user name, ":" and a fixed mask.
glue::Ref masked(PyObject* value) {
    if (!PyUnicode_Check(value)) return glue::Ref::borrow(t_hidden);
    Py_ssize_t colon = PyUnicode_FindChar(value, ':', 0, PyUnicode_GET_LENGTH(value), 1);
    if (colon == -2) return glue::Ref();
    if (colon < 0) return glue::Ref::borrow(t_hidden);
    glue::Ref user = glue::Ref::steal(PyUnicode_Substring(value, 0, colon + 1));
    return user ? glue::Ref::steal(PyUnicode_Concat(user.get(), t_hidden)) : glue::Ref();
}

PyObject* set_to_environ(PyObject* const* a) {
    PyObject* variables = a[0];
    PyObject* value = a[1];
    int is_license = glue::eq(variables, t_license_var);
    if (is_license < 0) return nullptr;
    glue::Ref names;
    if (PyList_Check(variables)) {
        names = glue::Ref::borrow(variables);
    } else {
        names = glue::Ref::steal(PyList_New(1));
        if (!names) return nullptr;
        PyList_SET_ITEM(names.get(), 0, Py_NewRef(variables));
    }
    int asked_for_license = is_license ? 1 : PySequence_Contains(names.get(), t_license_var);
    if (asked_for_license < 0) return nullptr;

    int windows = on_windows();
    if (windows < 0) return nullptr;
    if (windows) {
        if (for_each_name(names.get(), [value](PyObject* name) { return setx(name, value); }) < 0) return nullptr;
    } else {
        glue::Ref update = gl_update_bash_file.get();
        if (!update) return nullptr;
        glue::Ref done = glue::call(update.get(), names.get(), value);
        if (!done) return nullptr;
    }

    int rc = for_each_name(names.get(), [value](PyObject* name) {
        glue::Ref env = environ();
        return env ? PyObject_SetItem(env.get(), name, value) : -1;
    });
    if (rc < 0) return nullptr;

    // The password is never shown, whichever names carry it: asked among others,
    // or added to the list by the calls made since.
    int hide = is_license || asked_for_license;
    if (!hide) hide = PySequence_Contains(names.get(), t_license_var);
    if (hide < 0) return nullptr;
    glue::Ref shown = hide ? masked(value) : glue::Ref::borrow(value);
    if (!shown) return nullptr;
    glue::Ref format = glue::getattr(t_was_set, k_format);
    if (!format) return nullptr;
    PyObject* args[] = {nullptr, is_license ? t_license_label.get() : variables, shown.get()};
    glue::Ref message = glue::call_kw(format.get(), args + 1, 0, kw_message);
    // Stored by now: the confirmation must not fail on what the terminal cannot show.
    if (!message || glue::echo_escaping(echo, message.get()) < 0 || echo(t_restart) < 0) return nullptr;
    Py_RETURN_NONE;
}

const glue::Signature kGetLicenseInfo = {
    "get_license_info", {"license_name"}, 1, 0, get_license_info, "从license获取账户的相关信息"};

const glue::Signature kSetToEnviron = {"set_to_environ",
                                       {"variables", "value"},
                                       2,
                                       2,
                                       set_to_environ,
                                       "将变量设置到环境变量\n"
                                       "\n"
                                       "    :param variables: 变量名，或变量名的列表\n"
                                       "    :param value: 变量的值，每个变量都设置为它\n"
                                       "    "};

int fill_module(PyObject* module) {
    glue::Ref m = glue::Ref::borrow(module);
    for (const char* name : {"os", "sys", "subprocess", "click"})
        if (glue::import_as(m.get(), name, name) < 0) return -1;
    if (glue::from_import(m.get(), "corvina.lumen.sdk.script_update", "update_bash_file") < 0) return -1;

    glue::Ref defaults = glue::Ref::steal(PyTuple_Pack(1, t_license_var.get()));
    if (!defaults || glue::add_function(m.get(), kGetLicenseInfo, defaults.get()) < 0) return -1;
    if (glue::add_function(m.get(), kSetToEnviron) < 0) return -1;
    if (ns.init(m.get()) < 0) return -1;
    return 0;
}

PyObject* first_dict = nullptr;
int exec_module(PyObject* m) { return glue::exec_once(m, first_dict, fill_module); }

PyModuleDef_Slot satchel_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, GLUE_MODULE_SLOTS {0, nullptr}};
PyModuleDef satchel_def = {PyModuleDef_HEAD_INIT, "satchel", nullptr, 0, nullptr, satchel_slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace satchel

PyMODINIT_FUNC PyInit_satchel() { return PyModuleDef_Init(&satchel::satchel_def); }
