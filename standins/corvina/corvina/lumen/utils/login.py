"""Login to the market-data service.

Stand-in: no market-data service is configured in this build, so nothing is
logged in and nothing reaches a network.
"""
import os

import click


def init_orb():
    """Logs in to the market-data service: here it only says that none is configured."""
    user = os.environ.get("CORVINA_LICENSE", "").partition(":")[0]
    who = f"（用户 {user}）" if user else ""
    click.echo(f"未配置行情数据服务{who}，跳过登录")
