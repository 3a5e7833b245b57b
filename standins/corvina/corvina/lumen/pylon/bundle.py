"""Checks of the daily-bar bundle directory.

Stand-in: looks at the files only; it does not read the data.
"""
import os

import click


def check_bundle_data(bundle_path):
    """Reports a missing bundle directory and empty files in it. True when all is well."""
    if not os.path.isdir(bundle_path):
        click.echo(f"bundle 目录不存在：{bundle_path}")
        return False
    names = sorted(n for n in os.listdir(bundle_path) if os.path.isfile(os.path.join(bundle_path, n)))
    empty = [n for n in names if os.path.getsize(os.path.join(bundle_path, n)) == 0]
    for name in empty:
        click.echo(f"日线数据文件为空：{os.path.join(bundle_path, name)}")
    click.echo(f"检查了 {bundle_path} 中的 {len(names)} 个日线数据文件，{len(empty)} 个异常")
    return not empty
