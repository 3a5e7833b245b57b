"""Maintenance scripts of the data bundle.

Stand-in: only looks at local files.
"""
import os

import click


def check_tick(bundle_path):
    """Checks the tick index of the bundle directory: reports empty files in it."""
    directory = os.path.join(bundle_path, "tick")
    names = sorted(os.listdir(directory)) if os.path.isdir(directory) else []
    empty = [n for n in names if os.path.isfile(os.path.join(directory, n))
             and os.path.getsize(os.path.join(directory, n)) == 0]
    for name in empty:
        click.echo(f"tick 索引文件为空：{os.path.join(directory, name)}")
    click.echo(f"检查了 {bundle_path} 中的 {len(names)} 个 tick 索引文件，{len(empty)} 个异常")
