"""Updating, checking and downloading the data bundle.

Stand-in: there is no market-data service and no download here. Each function
says what it did, works only on local files, and returns what the commands
expect (a truth value for success where they read one).

Layout of a data bundle directory:

    <data_bundle_path>/bundle/   daily bars and basic data
    <data_bundle_path>/minbar/   minute bars, one .h5 file per instrument
    <data_bundle_path>/tick/     ticks, one .h5 file per instrument
"""
import os
import tarfile
import zipfile

import click


def _h5_files(directory):
    if not os.path.isdir(directory):
        return []
    return sorted(n for n in os.listdir(directory) if n.endswith(".h5"))


def update_bundle_from_quilldata(concurrency, data_bundle_path, base, minbar, tick, with_derivatives,
                                 rebuild=False):
    """Updates the selected data from the market-data service.

    Returns True when there was nothing to fetch, False when something was
    selected (no service is configured, so it cannot be fetched).
    """
    wanted = []
    if base:
        wanted.append("基础数据及日线")
    if minbar:
        wanted.append("分钟线 " + ", ".join(minbar))
    if tick:
        wanted.append("tick " + ", ".join(tick))
    if not wanted:
        click.echo("没有选择需要从行情数据服务更新的数据")
        return True
    click.echo(f"未配置行情数据服务，无法更新 {data_bundle_path} 中的：" + "；".join(wanted))
    return False


def update_bundle_from_exist_file(concurrency, data_bundle_path):
    """Incremental update of the minute-bar and tick files already downloaded.

    Returns True when there are none, False otherwise (they cannot be updated
    without a market-data service).
    """
    files = _h5_files(os.path.join(data_bundle_path, "minbar")) + _h5_files(os.path.join(data_bundle_path, "tick"))
    if not files:
        click.echo(f"{data_bundle_path} 中没有已下载的分钟线或 tick 数据，无需增量更新")
        return True
    click.echo(f"{data_bundle_path} 中有 {len(files)} 个分钟线或 tick 文件，未配置行情数据服务，无法增量更新")
    return False


def check_min_bar_data(data_bundle_path):
    """Checks the minute-bar files: reports empty ones. True when none is empty."""
    directory = os.path.join(data_bundle_path, "minbar")
    files = _h5_files(directory)
    if not files:
        click.echo(f"{directory} 中没有分钟线数据，无需检查")
        return True
    empty = [n for n in files if os.path.getsize(os.path.join(directory, n)) == 0]
    for name in empty:
        click.echo(f"分钟线文件为空：{os.path.join(directory, name)}")
    click.echo(f"检查了 {len(files)} 个分钟线文件，{len(empty)} 个异常")
    return not empty


def _extract_tar(archive, target):
    with tarfile.open(archive) as tar:
        members = tar.getmembers()
        # Every member is checked before anything is written.
        for member in members:
            try:
                # The filter would strip a leading "/"; such an archive is refused instead.
                if os.path.isabs(member.name):
                    raise tarfile.AbsolutePathError(member)
                tarfile.data_filter(member, target)
            except tarfile.FilterError as e:
                raise ValueError(f"压缩包 {archive} 中的 {member.name!r} 不能安全解压：{e}") from e
        tar.extractall(target, members=members, filter="data")
        return len(members)


def _extract_zip(archive, target):
    with zipfile.ZipFile(archive) as zf:
        infos = zf.infolist()
        for info in infos:
            dest = os.path.realpath(os.path.join(target, info.filename))
            if os.path.commonpath([target, dest]) != target:
                raise ValueError(f"压缩包 {archive} 中的 {info.filename!r} 会解压到 {target} 之外")
        zf.extractall(target)
        return len(infos)


def download_simple_bundle(data_bundle_path, sample=False, file_path=None):
    """Installs the sample bundle.

    With file_path: unpacks that tar or zip archive into data_bundle_path and
    returns True; a member that would land outside the directory raises
    ValueError and nothing is unpacked. Without it: says that no sample can be
    downloaded offline and returns False.
    """
    if file_path is None:
        click.echo("离线环境无法下载样例数据，请用 -f 指定已下载的压缩包")
        return False
    os.makedirs(data_bundle_path, exist_ok=True)
    target = os.path.realpath(data_bundle_path)
    if tarfile.is_tarfile(file_path):
        count = _extract_tar(file_path, target)
    elif zipfile.is_zipfile(file_path):
        count = _extract_zip(file_path, target)
    else:
        raise ValueError(f"{file_path} 不是 tar 或 zip 压缩包")
    click.echo(f"已将 {file_path} 中的 {count} 项解压到 {data_bundle_path}")
    return True
