// The `corvina` command line: loading, the group `cli`, and the machinery that
// turns functions written here into click commands as the decorators would.
#include <Python.h>

#include "glue/module.hpp"
#include "glue/output.hpp"
#include "pylon/pylon.hpp"

namespace pylon {

namespace {

// Filled last at load: a failed load must not leave it holding a dead module.
glue::Namespace ns;

Global gl_click{"click"};
glue::Name k_echo{"echo"};
glue::Name k_option{"option"};
glue::Name k_Path{"Path"};
glue::Name k_group{"group"};
glue::Name k_help_option{"help_option"};
glue::Name k_command{"command"};
glue::Name k_format{"format"};
glue::KwNames kw_file_okay{"file_okay"};
glue::KwNames kw_err{"err"};

glue::Name t_comma{", "};
glue::Name t_short_help{"-h"};
glue::Name t_long_help{"--help"};

glue::Ref to_object(const Kw& k) {
    if (k.obj) return glue::Ref::borrow(k.obj);
    if (k.text) return glue::Ref::steal(PyUnicode_FromString(k.text));
    return glue::Ref::steal(PyLong_FromLong(k.number));
}

}  // namespace

const glue::Namespace& module_namespace() { return ns; }

int echo(PyObject* text) {
    return gl_click.call_method(k_echo, text) ? 0 : -1;
}

int echo_err(PyObject* text) {
    return glue::echo_escaping(
        [](PyObject* t) {
            glue::Ref f = gl_click.attr(k_echo);
            if (!f) return -1;
            PyObject* argv[] = {nullptr, t, Py_True};
            return glue::call_kw(f.get(), argv + 1, 1, kw_err) ? 0 : -1;
        },
        text);
}

int refuse(PyObject* message) {
    if (echo_err(message) < 0) return -1;
    glue::Ref one = glue::Ref::steal(PyLong_FromLong(1));
    if (one) PyErr_SetObject(PyExc_SystemExit, one.get());
    return -1;
}

int Options::add(std::initializer_list<const char*> decls, std::initializer_list<Kw> kw) {
    for (const Kw& k : kw)
        if (!k.obj && !k.text && !k.is_number) {
            // A value that could not be made (dir_path() failed) left its error set.
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "option %s has no value", k.name);
            return -1;
        }
    glue::Ref option = glue::getattr(click_, k_option);
    if (!option) return -1;
    glue::Ref args = glue::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(decls.size())));
    if (!args) return -1;
    Py_ssize_t i = 0;
    for (const char* d : decls) {
        PyObject* s = PyUnicode_FromString(d);
        if (!s) return -1;
        PyTuple_SET_ITEM(args.get(), i++, s);
    }
    glue::Ref kwargs = glue::Ref::steal(PyDict_New());
    if (!kwargs) return -1;
    for (const Kw& k : kw) {
        glue::Ref v = to_object(k);
        if (!v || PyDict_SetItemString(kwargs.get(), k.name, v.get()) < 0) return -1;
    }
    glue::Ref decorator = glue::Ref::steal(PyObject_Call(option.get(), args.get(), kwargs.get()));
    if (!decorator) return -1;
    decorators_.push_back(std::move(decorator));
    return 0;
}

PyObject* Options::dir_path() {
    glue::Ref path = glue::getattr(click_, k_Path);
    if (!path) return nullptr;
    PyObject* argv[] = {nullptr, Py_False};
    glue::Ref type = glue::call_kw(path.get(), argv + 1, 0, kw_file_okay);
    if (!type) return nullptr;
    values_.push_back(std::move(type));
    return values_.back().get();
}

int add_command(const Loader& ld, const glue::Signature& sig, const Options& options) {
    glue::Ref command = glue::call_method(ld.cli, k_command);
    if (!command) return -1;
    glue::Ref f = glue::make_function(sig, nullptr, ld.module_name);
    if (!f) return -1;
    // Decorators apply bottom-up: the option declared last wraps first.
    const std::vector<glue::Ref>& decorators = options.decorators();
    for (auto it = decorators.rbegin(); it != decorators.rend(); ++it) {
        f = glue::call(it->get(), f.get());
        if (!f) return -1;
    }
    glue::Ref cmd = glue::call(command.get(), f.get());
    return cmd ? PyModule_AddObjectRef(ld.module, sig.name, cmd.get()) : -1;
}

namespace {

PyObject* cli(PyObject* const*) { Py_RETURN_NONE; }

const glue::Signature kCli = {
    "cli", {}, 0, 0, cli, "\n    输入 corvina [COMMAND] --help 查看命令详情\n    例如：corvina update-data --help\n    "};

int bind(PyObject* m, const char* as, PyObject* value) { return PyModule_AddObjectRef(m, as, value); }

int from_import(PyObject* m, const char* module, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (glue::from_import(m, module, name) < 0) return -1;
    return 0;
}

glue::Ref fill(const char* templ, PyObject* value) {
    glue::Ref t = glue::Ref::steal(PyUnicode_FromString(templ));
    return t ? glue::call_method(t.get(), k_format, value) : glue::Ref();
}

// @click.group() over @click.help_option("-h", "--help") over cli.
glue::Ref make_group(PyObject* click, PyObject* module_name) {
    glue::Ref group = glue::call_method(click, k_group);
    if (!group) return glue::Ref();
    glue::Ref help = glue::call_method(click, k_help_option, t_short_help.get(), t_long_help.get());
    if (!help) return glue::Ref();
    glue::Ref f = glue::make_function(kCli, nullptr, module_name);
    if (!f) return glue::Ref();
    f = glue::call(help.get(), f.get());
    return f ? glue::call(group.get(), f.get()) : glue::Ref();
}

int declare(PyObject* m, PyObject* click) {
    glue::Ref module_name = glue::Ref::steal(PyObject_GetAttrString(m, "__name__"));
    if (!module_name) return -1;
    glue::Ref bundle_path = glue::Ref::steal(PyObject_GetAttrString(m, "DEFAULT_BUNDLE_PATH"));
    if (!bundle_path) return -1;
    glue::Ref tag_map = glue::Ref::steal(PyObject_GetAttrString(m, "TAG_MAP"));
    if (!tag_map) return -1;
    glue::Ref bundle_help = fill("bundle 目录，默认为 {}", bundle_path.get());
    if (!bundle_help) return -1;
    glue::Ref tags = glue::Ref::steal(PyUnicode_Join(t_comma, tag_map.get()));
    if (!tags) return -1;
    glue::Ref minbar_help = fill("更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code", tags.get());
    if (!minbar_help) return -1;
    glue::Ref tick_help = fill("更新tick数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code", tags.get());
    if (!tick_help) return -1;

    glue::Ref cli = make_group(click, module_name.get());
    if (!cli || bind(m, "cli", cli.get()) < 0) return -1;
    Loader ld{m, module_name.get(), click, cli.get(), bundle_help.get(), minbar_help.get(), tick_help.get(),
              bundle_path.get()};
    return add_license_command(ld) < 0 || add_shell_command(ld) < 0 || add_bundle_commands(ld) < 0 ? -1 : 0;
}

int fill_module(PyObject* module) {
    glue::Ref m = glue::Ref::borrow(module);
    for (const char* name : {"os", "sys", "click"})
        if (glue::import_as(m.get(), name, name) < 0) return -1;
    glue::Ref click = glue::Ref::steal(PyObject_GetAttrString(m.get(), "click"));
    if (!click) return -1;
    if (from_import(m.get(), "corvina.lumen.sdk.const", {"DEFAULT_BUNDLE_PATH", "TAG_MAP", "CONCERNED_PACKAGES"}) < 0 ||
        from_import(m.get(), "corvina.lumen.sdk.satchel", {"get_license_info", "set_to_environ"}) < 0)
        return -1;
    if (declare(m.get(), click.get()) < 0) return -1;
    // Last: a failed load must not leave it holding a dead module.
    if (ns.init(m.get()) < 0) return -1;
    return 0;
}

PyObject* first_dict = nullptr;
int exec_module(PyObject* m) { return glue::exec_once(m, first_dict, fill_module); }

PyModuleDef_Slot pylon_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, GLUE_MODULE_SLOTS {0, nullptr}};
PyModuleDef pylon_def = {PyModuleDef_HEAD_INIT, "pylon", nullptr, 0, nullptr, pylon_slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace pylon

PyMODINIT_FUNC PyInit_pylon() { return PyModuleDef_Init(&pylon::pylon_def); }
