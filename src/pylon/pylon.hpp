// Shared by the files of pylon: the module namespace, the calls every command
// makes, and the declaration of commands on the group at load.
#pragma once
#include <Python.h>

#include <initializer_list>
#include <vector>

#include "glue/function.hpp"
#include "glue/global.hpp"
#include "glue/names.hpp"
#include "glue/runtime.hpp"

namespace pylon {

// The module's namespace, filled last at load.
const glue::Namespace& module_namespace();

// A module global (click, os, sys, the satchel functions, the command
// objects), looked up when a command runs so that a replacement takes effect:
// `Global gl_click{"click"};`.
using Global = glue::Global<module_namespace>;

// click.echo(text)
int echo(PyObject* text);

// click.echo(text, err=True), escaping what stderr cannot encode.
int echo_err(PyObject* text);

// A refusal: the message on stderr, then SystemExit(1) raised. Always -1.
int refuse(PyObject* message);

// One keyword argument of a click.option call.
struct Kw {
    Kw(const char* n, PyObject* o) : name(n), obj(o) {}
    Kw(const char* n, const char* t) : name(n), text(t) {}
    Kw(const char* n, long v) : name(n), number(v), is_number(true) {}
    const char* name;
    PyObject* obj = nullptr;
    const char* text = nullptr;
    long number = 0;
    bool is_number = false;
};

// The option decorators of one command, in declaration order (top first).
class Options {
public:
    explicit Options(PyObject* click) : click_(click) {}
    // click.option(*decls, **kw): 0, or -1 with the error set. A null obj in
    // kw means its creation failed, and the error is already set.
    int add(std::initializer_list<const char*> decls, std::initializer_list<Kw> kw);
    // A fresh click.Path(file_okay=False), kept alive here; nullptr on error.
    PyObject* dir_path();
    const std::vector<glue::Ref>& decorators() const { return decorators_; }

private:
    PyObject* click_;
    std::vector<glue::Ref> decorators_;
    std::vector<glue::Ref> values_;
};

// What the declarations need while the module loads.
struct Loader {
    PyObject* module;
    PyObject* module_name;
    PyObject* click;
    PyObject* cli;
    PyObject* bundle_path_help;  // "bundle 目录，默认为 {}" filled
    PyObject* minbar_help;
    PyObject* tick_help;
    PyObject* default_bundle_path;
};

// As `@cli.command()` over the option decorators over a function defined from
// sig: binds the command in the module under the function's name.
int add_command(const Loader& ld, const glue::Signature& sig, const Options& options);

int add_license_command(const Loader& ld);
int add_shell_command(const Loader& ld);
int add_bundle_commands(const Loader& ld);

}  // namespace pylon
