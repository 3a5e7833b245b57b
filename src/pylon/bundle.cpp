// The data bundle commands: update-data, check-data, download-data. The work is
// done by the package's bundle functions, imported when a command runs.
#include <Python.h>

#include "glue/module.hpp"
#include "pylon/pylon.hpp"

namespace pylon {
namespace {

Global gl_click{"click"};
Global gl_os{"os"};
Global gl_sys{"sys"};
Global gl_update_data{"update_data"};
glue::Name k_path{"path"};
glue::Name k_join{"join"};
glue::Name k_exists{"exists"};
glue::Name k_exit{"exit"};
glue::Name k_Context{"Context"};
glue::Name k_get_help{"get_help"};
glue::KwNames kw_rebuild{"rebuild"};
glue::KwNames kw_download{"sample", "file_path"};

glue::Name t_bundle{"bundle"};

constexpr const char* kBundleModule = "corvina.lumen.alpha.bundle";

// os.path.join(data_bundle_path, "bundle")
glue::Ref bundle_dir(PyObject* data_bundle_path) {
    glue::Ref path = gl_os.attr(k_path);
    return path ? glue::call_method(path.get(), k_join, data_bundle_path, t_bundle.get()) : glue::Ref();
}

// os.path.exists(p): 1, 0, or -1 with the error set.
int exists(PyObject* p) {
    glue::Ref path = gl_os.attr(k_path);
    if (!path) return -1;
    glue::Ref r = glue::call_method(path.get(), k_exists, p);
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// Nothing selected: the command's help, and 1 for the framework (not an exit status).
PyObject* show_help() {
    glue::Ref command = gl_update_data.get();
    if (!command) return nullptr;
    glue::Ref click = gl_click.get();
    if (!click) return nullptr;
    glue::Ref context_type = glue::getattr(click.get(), k_Context);
    if (!context_type) return nullptr;
    glue::Ref ctx = glue::call(context_type.get(), command.get());
    if (!ctx) return nullptr;
    glue::Ref help = glue::call_method(command.get(), k_get_help, ctx.get());
    if (!help || echo(help.get()) < 0) return nullptr;
    return PyLong_FromLong(1);
}

// 1 when the sequence is empty, 0 when not, -1 on error.
int empty(PyObject* seq) {
    Py_ssize_t n = PyObject_Length(seq);
    return n < 0 ? -1 : n == 0;
}

PyObject* update_data(PyObject* const* a) {
    PyObject* data_bundle_path = a[0];
    PyObject* base = a[1];
    PyObject* minbar = a[2];
    PyObject* tick = a[3];
    PyObject* with_derivatives = a[4];
    PyObject* concurrency = a[5];
    PyObject* smart = a[6];
    PyObject* rebuild = a[7];

    glue::Ref init_orb = glue::import_name("corvina.lumen.utils.login", "init_orb");
    if (!init_orb || !glue::call(init_orb.get())) return nullptr;

    if (base == Py_False && smart == Py_False) {
        int no_minbar = empty(minbar);
        if (no_minbar < 0) return nullptr;
        int nothing = no_minbar ? empty(tick) : 0;
        if (nothing < 0) return nullptr;
        if (nothing) return show_help();
    }

    glue::Ref from_service = glue::import_name(kBundleModule, "update_bundle_from_quilldata");
    if (!from_service) return nullptr;
    glue::Ref from_files = glue::import_name(kBundleModule, "update_bundle_from_exist_file");
    if (!from_files) return nullptr;
    glue::Ref check_tick = glue::import_name("corvina.lumen.alpha.utils.scripts", "check_tick");
    if (!check_tick) return nullptr;

    glue::Ref dir = bundle_dir(data_bundle_path);
    if (!dir) return nullptr;
    int has_dir = exists(dir.get());
    if (has_dir < 0 || (has_dir && !glue::call(check_tick.get(), dir.get()))) return nullptr;

    PyObject* argv[] = {nullptr, concurrency, data_bundle_path, base, minbar, tick, with_derivatives, rebuild};
    glue::Ref succeed = glue::call_kw(from_service.get(), argv + 1, 6, kw_rebuild);
    if (!succeed) return nullptr;
    int incremental = PyObject_IsTrue(smart);
    if (incremental < 0) return nullptr;
    if (incremental) {
        glue::Ref r = glue::call(from_files.get(), concurrency, data_bundle_path);
        if (!r) return nullptr;
        int ok = PyObject_IsTrue(r.get());
        if (ok < 0) return nullptr;
        if (!ok) succeed = std::move(r);
    }
    int ok = PyObject_IsTrue(succeed.get());
    if (ok < 0) return nullptr;
    if (!ok) {
        glue::Ref sys = gl_sys.get();
        if (!sys) return nullptr;
        glue::Ref one = glue::Ref::steal(PyLong_FromLong(1));
        if (!one) return nullptr;
        // Raises SystemExit; a replacement that returns ends the command as usual.
        glue::Ref r = glue::call_method(sys.get(), k_exit, one.get());
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* check_data(PyObject* const* a) {
    PyObject* data_bundle_path = a[0];
    int minbar = PyObject_IsTrue(a[1]);
    if (minbar < 0) return nullptr;
    int daybar = PyObject_IsTrue(a[2]);
    if (daybar < 0) return nullptr;
    bool check_all = !minbar && !daybar;

    glue::Ref check_min_bar_data = glue::import_name(kBundleModule, "check_min_bar_data");
    if (!check_min_bar_data) return nullptr;
    glue::Ref check_bundle_data = glue::import_name("corvina.lumen.pylon.bundle", "check_bundle_data");
    if (!check_bundle_data) return nullptr;

    if ((minbar || check_all) && !glue::call(check_min_bar_data.get(), data_bundle_path)) return nullptr;
    if (daybar || check_all) {
        glue::Ref dir = bundle_dir(data_bundle_path);
        if (!dir || !glue::call(check_bundle_data.get(), dir.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* download_data(PyObject* const* a) {
    glue::Ref download = glue::import_name(kBundleModule, "download_simple_bundle");
    if (!download) return nullptr;
    PyObject* argv[] = {nullptr, a[0], a[1], a[2]};
    return glue::call_kw(download.get(), argv + 1, 1, kw_download).release();
}

const glue::Signature kUpdateData = {
    "update_data",
    {"data_bundle_path", "base", "minbar", "tick", "with_derivatives", "concurrency", "smart", "rebuild"},
    8,
    8,
    update_data,
    "\n    更新运行回测所需的历史数据\n\n    \b\n    例如：\n"
    "    * 更新日线数据： corvina update-data --base\n"
    "    * 更新股票、期权分钟数据： corvina update-data --minbar stock --minbar option\n"
    "    * 更新鸡蛋期货合约tick数据： corvina update-data --tick JD\n"
    "    * 更新豆粕1905及其合约的衍生品tick数据： corvina update-data --tick M1905 --with-derivatives\n"
    "    * 更新已下载的分钟线和tick数据： corvina update-data --smart\n"
    "    "};

const glue::Signature kCheckData = {"check_data",
                                    {"data_bundle_path", "minbar", "daybar"},
                                    3,
                                    3,
                                    check_data,
                                    "\n        检查bundle中的数据是否正确\n    "};

const glue::Signature kDownloadData = {"download_data",
                                       {"data_bundle_path", "sample", "file_path"},
                                       3,
                                       3,
                                       download_data,
                                       "\n    下载样例回测数据。\n    下载样例数据不使用corvina流量。\n    "};

glue::Ref click_attr(PyObject* click, const char* name) {
    return glue::Ref::steal(PyObject_GetAttrString(click, name));
}

int add_update_data(const Loader& ld) {
    glue::Ref string_type = click_attr(ld.click, "STRING");
    if (!string_type) return -1;
    glue::Ref int_type = click_attr(ld.click, "INT");
    if (!int_type) return -1;
    Options o(ld.click);
    if (o.add({"-d", "--data-bundle-path"},
              {{"default", ld.default_bundle_path}, {"type", o.dir_path()}, {"help", ld.bundle_path_help}}) < 0 ||
        o.add({"--base"},
              {{"default", Py_False},
               {"is_flag", Py_True},
               {"help", "更新基础数据及日线，注意：任何回测都需要依赖基础数据"}}) < 0 ||
        o.add({"--minbar"}, {{"multiple", Py_True}, {"type", string_type.get()}, {"help", ld.minbar_help}}) < 0 ||
        o.add({"--tick"}, {{"multiple", Py_True}, {"type", string_type.get()}, {"help", ld.tick_help}}) < 0 ||
        o.add({"--with-derivatives"},
              {{"default", Py_False},
               {"is_flag", Py_True},
               {"help", "更新分钟线和 tick 时同时更新选择的合约的衍生品数据"}}) < 0 ||
        o.add({"-c", "--concurrency"},
              {{"type", int_type.get()},
               {"default", 3L},
               {"help", "并行的线程数量，需要低于 quilldata 的最大可用连接数"}}) < 0 ||
        o.add({"--smart"},
              {{"default", Py_False},
               {"is_flag", Py_True},
               {"help", "检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据"}}) < 0 ||
        o.add({"--rebuild"},
              {{"default", Py_False},
               {"is_flag", Py_True},
               {"help", "将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效"}}) < 0)
        return -1;
    return add_command(ld, kUpdateData, o);
}

int add_check_data(const Loader& ld) {
    Options o(ld.click);
    if (o.add({"-d", "--data-bundle-path"},
              {{"default", ld.default_bundle_path}, {"type", o.dir_path()}, {"help", ld.bundle_path_help}}) < 0 ||
        o.add({"--minbar"}, {{"default", Py_False}, {"is_flag", Py_True}, {"help", "检查分钟数据是否异常"}}) < 0 ||
        o.add({"--daybar"}, {{"default", Py_False}, {"is_flag", Py_True}, {"help", "检查日线数据是否异常"}}) < 0)
        return -1;
    return add_command(ld, kCheckData, o);
}

int add_download_data(const Loader& ld) {
    Options o(ld.click);
    if (o.add({"-d", "--data-bundle-path"},
              {{"default", ld.default_bundle_path}, {"type", o.dir_path()}, {"help", ld.bundle_path_help}}) < 0 ||
        o.add({"--sample"}, {{"is_flag", Py_True}, {"help", "下载数据样例"}}) < 0 ||
        o.add({"-f", "--file-path"}, {{"default", Py_None}, {"help", "指定的压缩文件包"}}) < 0)
        return -1;
    return add_command(ld, kDownloadData, o);
}

}  // namespace

int add_bundle_commands(const Loader& ld) {
    return add_update_data(ld) < 0 || add_check_data(ld) < 0 || add_download_data(ld) < 0 ? -1 : 0;
}

}  // namespace pylon
