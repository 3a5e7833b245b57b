// `corvina license`: stores the data-service login (and the deployment name)
// through satchel, or shows what is stored.
#include <Python.h>

#include "glue/module.hpp"
#include "glue/output.hpp"
#include "pylon/pylon.hpp"

namespace pylon {
namespace {

Global gl_click{"click"};
Global gl_os{"os"};
Global gl_str{"str"};
glue::Name k_prompt{"prompt"};
glue::Name k_getenv{"getenv"};
glue::Name k_format{"format"};
Global gl_get_license_info{"get_license_info"};
Global gl_set_to_environ{"set_to_environ"};
glue::KwNames kw_type{"type"};
glue::KwNames kw_hidden{"type", "hide_input"};

glue::Name t_license_var{"CORVINA_LICENSE"};
glue::Name t_env_var{"corvinasdk_env"};
glue::Name t_colon{":"};
glue::Name t_ask_user{"请输入用户名"};
glue::Name t_ask_password{"请输入密码"};
glue::Name t_empty{"用户名和密码均不能为空"};
glue::Name t_colon_in_user{"用户名不能包含冒号(:)"};
glue::Name t_nul{"用户名和密码不能包含空字符(NUL)"};
glue::Name t_unencodable{"用户名或密码中有无法存入环境变量的字符"};
glue::Name t_too_long{"用户名和密码过长：两者合计 {} 字节，不能超过 {} 字节"};
glue::Name t_undecodable{"输入的内容不是有效的 {} 文本"};
glue::Name t_not_stored{"无法保存 {}：{}"};
glue::Name t_user_line{"用户名: "};
glue::Name t_password_line{"密码: "};
glue::Name t_env_line{"当前环境: "};
glue::Name t_test{"test"};
glue::Name t_inner{"inner"};
glue::Name t_dev{"dev"};
glue::Name t_uat{"uat"};

// env in ["test", "inner", "dev", "uat"], compared in that order.
int known_env(PyObject* env) {
    for (PyObject* name : {t_test.get(), t_inner.get(), t_dev.get(), t_uat.get()}) {
        int same = glue::eq(env, name);
        if (same) return same;
    }
    return 0;
}

// The longest "NAME=VALUE" the login may make: far below the system's limit
// on one environment string (128 KiB on Linux), past which every program a
// shell starts fails.
constexpr Py_ssize_t kMaxEnvString = 4096;

// click.echo(head + value), escaping what the output cannot encode.
int echo_line(PyObject* head, PyObject* value) {
    glue::Ref line = glue::Ref::steal(PyNumber_Add(head, value));
    return line ? glue::echo_escaping(echo, line.get()) : -1;
}

PyObject* show() {
    glue::Ref get = gl_get_license_info.get();
    if (!get) return nullptr;
    glue::Ref pair = glue::call(get.get());
    if (!pair) return nullptr;
    glue::Ref user, password;
    if (glue::unpack2(pair.get(), &user, &password) < 0) return nullptr;
    int has_user = PyObject_IsTrue(user.get());
    if (has_user < 0) return nullptr;
    int has_password = has_user ? PyObject_IsTrue(password.get()) : 0;
    if (has_password < 0) return nullptr;
    if (has_password && (echo_line(t_user_line, user.get()) < 0 || echo_line(t_password_line, password.get()) < 0))
        return nullptr;

    glue::Ref env = gl_os.call_method(k_getenv, t_env_var.get());
    if (!env) return nullptr;
    int set = PyObject_IsTrue(env.get());
    if (set < 0) return nullptr;
    int known = set ? known_env(env.get()) : 0;
    if (known < 0 || (known && echo_line(t_env_line, env.get()) < 0)) return nullptr;
    Py_RETURN_NONE;
}

// click.prompt(text, type=str[, hide_input=True]). Input that the terminal's
// encoding cannot decode is refused.
glue::Ref prompt(PyObject* text, bool hidden) {
    glue::Ref click = gl_click.get();
    if (!click) return glue::Ref();
    glue::Ref ask = glue::getattr(click.get(), k_prompt);
    if (!ask) return glue::Ref();
    glue::Ref str = gl_str.get();
    if (!str) return glue::Ref();
    PyObject* argv[] = {nullptr, text, str.get(), Py_True};
    glue::Ref answer = glue::call_kw(ask.get(), argv + 1, 1, hidden ? kw_hidden : kw_type);
    if (answer || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return answer;
    glue::PendingError error;
    glue::Ref encoding = glue::Ref::steal(PyUnicodeDecodeError_GetEncoding(error.get()));
    glue::Ref message = encoding ? glue::call_method(t_undecodable, k_format, encoding.get()) : glue::Ref();
    if (message) refuse(message.get());
    error.chain_into_current();
    return glue::Ref();
}

// A login that the environment cannot hold, or that would break the shells
// reading it, is refused: 0 when it can be stored, -1 with an error (the
// refusal's SystemExit) otherwise.
int check_login(PyObject* login) {
    if (!PyUnicode_Check(login)) return 0;
    Py_ssize_t nul = PyUnicode_FindChar(login, 0, 0, PyUnicode_GET_LENGTH(login), 1);
    if (nul == -2) return -1;
    if (nul >= 0) return refuse(t_nul);
    // The bytes the environment holds: the file system encoding, as os.environ does.
    glue::Ref bytes = glue::Ref::steal(PyUnicode_EncodeFSDefault(login));
    if (!bytes) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
        PyErr_Clear();
        return refuse(t_unencodable);
    }
    // "NAME=" before the login; the login's ":" is not the user's.
    Py_ssize_t head = PyUnicode_GET_LENGTH(t_license_var.get()) + 1;
    Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
    if (head + size <= kMaxEnvString) return 0;
    glue::Ref given = glue::Ref::steal(PyLong_FromSsize_t(size - 1));
    if (!given) return -1;
    glue::Ref limit = glue::Ref::steal(PyLong_FromSsize_t(kMaxEnvString - head - 1));
    if (!limit) return -1;
    glue::Ref message = glue::call_method(t_too_long, k_format, given.get(), limit.get());
    return message ? refuse(message.get()) : -1;
}

// set_to_environ(name, value). A store failing on the system's side (OSError:
// a folder where a start-up file belongs, no permission, a full disk) is
// refused with its reason. 0, or -1 with the error set.
int set_to_environ(PyObject* name, PyObject* value) {
    glue::Ref set = gl_set_to_environ.get();
    if (!set) return -1;
    glue::Ref done = glue::call(set.get(), name, value);
    if (done) return 0;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
    glue::PendingError error;
    glue::Ref message = glue::call_method(t_not_stored, k_format, name, error.get());
    if (message) refuse(message.get());
    error.chain_into_current();
    return -1;
}

PyObject* store(PyObject* username_arg, PyObject* password_arg, PyObject* env) {
    glue::Ref username = glue::Ref::borrow(username_arg);
    glue::Ref password = glue::Ref::borrow(password_arg);
    if (username.get() == Py_None && !(username = prompt(t_ask_user, false))) return nullptr;
    if (password.get() == Py_None && !(password = prompt(t_ask_password, true))) return nullptr;
    int has_user = PyObject_IsTrue(username.get());
    if (has_user < 0) return nullptr;
    int has_password = has_user ? PyObject_IsTrue(password.get()) : 0;
    if (has_password < 0) return nullptr;
    if (!has_password) return echo(t_empty) < 0 ? nullptr : Py_NewRef(Py_None);
    // The login is read back by splitting at the first ":".
    int colon = PySequence_Contains(username.get(), t_colon);
    if (colon < 0) return nullptr;
    if (colon) return echo(t_colon_in_user) < 0 ? nullptr : Py_NewRef(Py_None);

    glue::Ref head = glue::Ref::steal(PyNumber_Add(username.get(), t_colon));
    if (!head) return nullptr;
    glue::Ref login = glue::Ref::steal(PyNumber_Add(head.get(), password.get()));
    if (!login || check_login(login.get()) < 0 || set_to_environ(t_license_var, login.get()) < 0) return nullptr;
    int known = known_env(env);
    if (known < 0 || (known && set_to_environ(t_env_var, env) < 0)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* license(PyObject* const* a) {
    int show_mode = PyObject_IsTrue(a[2]);
    if (show_mode < 0) return nullptr;
    return show_mode ? show() : store(a[0], a[1], a[3]);
}

const glue::Signature kLicense = {"license",
                                  {"username", "password", "show", "env"},
                                  4,
                                  4,
                                  license,
                                  "\n    配置 corvina 用户名和密码到环境变量\n\n"
                                  "    corvina license 进入交互模式\n"
                                  "    corvina license -u [USERNAME] -p [PASSWORD] 配置当前环境的用户名和密码\n"
                                  "    corvina license --show 显示配置的用户名和密码\n"
                                  "    corvina license --env 配置corvina使用环境，互联网环境无需配置\n"
                                  "    例如: corvina license -u [user] -p [password]\n\n"
                                  "    "};

}  // namespace

int add_license_command(const Loader& ld) {
    Options o(ld.click);
    if (o.add({"-username", "-u"}, {{"default", Py_None}, {"help", "用户名"}}) < 0 ||
        o.add({"--password", "-p"}, {{"default", Py_None}, {"hide_input", Py_True}, {"help", "密码"}}) < 0 ||
        o.add({"--env"}, {{"default", Py_None}, {"help", "环境"}}) < 0 ||
        o.add({"--show"}, {{"is_flag", Py_True}, {"default", Py_False}}) < 0)
        return -1;
    return add_command(ld, kLicense, o);
}

}  // namespace pylon
