// `corvina shell`: an interactive IPython shell, when IPython is installed.
#include <Python.h>

#include "glue/module.hpp"
#include "pylon/pylon.hpp"

namespace pylon {
namespace {

glue::Name t_install_ipython{"请安装ipython:pip install ipython"};

PyObject* shell(PyObject* const*) {
    glue::Ref embed = glue::import_name("IPython", "embed");
    if (!embed) {
        // IPython is an optional extra; anything but a missing import is a real error.
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
        return echo(t_install_ipython) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    glue::Ref done = glue::call(embed.get());
    return done ? Py_NewRef(Py_None) : nullptr;
}

const glue::Signature kShell = {"shell", {}, 0, 0, shell, "打开 ipython 并执行 orb.init"};

}  // namespace

int add_shell_command(const Loader& ld) { return add_command(ld, kShell, Options(ld.click)); }

}  // namespace pylon
