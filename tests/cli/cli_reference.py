"""The command declarations written as plain decorated Python, for comparing
help output and parameters with the compiled module. Callbacks do nothing."""
import click

from corvina.lumen.sdk.const import DEFAULT_BUNDLE_PATH, TAG_MAP


@click.group()
@click.help_option("-h", "--help")
def cli():
    """
    输入 corvina [COMMAND] --help 查看命令详情
    例如：corvina update-data --help
    """


@cli.command()
@click.option("-username", "-u", default=None, help="用户名")
@click.option("--password", "-p", default=None, hide_input=True, help="密码")
@click.option("--env", default=None, help="环境")
@click.option("--show", is_flag=True, default=False)
def license(username, password, show, env):
    """
    配置 corvina 用户名和密码到环境变量

    corvina license 进入交互模式
    corvina license -u [USERNAME] -p [PASSWORD] 配置当前环境的用户名和密码
    corvina license --show 显示配置的用户名和密码
    corvina license --env 配置corvina使用环境，互联网环境无需配置
    例如: corvina license -u [user] -p [password]

    """


@cli.command()
def shell():
    """打开 ipython 并执行 orb.init"""


@cli.command()
@click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH, type=click.Path(file_okay=False),
              help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
@click.option("--base", default=False, is_flag=True, help="更新基础数据及日线，注意：任何回测都需要依赖基础数据")
@click.option("--minbar", multiple=True, type=click.STRING,
              help="更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code".format(", ".join(TAG_MAP)))
@click.option("--tick", multiple=True, type=click.STRING,
              help="更新tick数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code".format(", ".join(TAG_MAP)))
@click.option("--with-derivatives", default=False, is_flag=True, help="更新分钟线和 tick 时同时更新选择的合约的衍生品数据")
@click.option("-c", "--concurrency", type=click.INT, default=3, help="并行的线程数量，需要低于 quilldata 的最大可用连接数")
@click.option("--smart", default=False, is_flag=True, help="检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据")
@click.option("--rebuild", default=False, is_flag=True, help="将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效")
def update_data(data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild):
    """
    更新运行回测所需的历史数据

    \b
    例如：
    * 更新日线数据： corvina update-data --base
    * 更新股票、期权分钟数据： corvina update-data --minbar stock --minbar option
    * 更新鸡蛋期货合约tick数据： corvina update-data --tick JD
    * 更新豆粕1905及其合约的衍生品tick数据： corvina update-data --tick M1905 --with-derivatives
    * 更新已下载的分钟线和tick数据： corvina update-data --smart
    """


@cli.command()
@click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH, type=click.Path(file_okay=False),
              help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
@click.option("--minbar", default=False, is_flag=True, help="检查分钟数据是否异常")
@click.option("--daybar", default=False, is_flag=True, help="检查日线数据是否异常")
def check_data(data_bundle_path, minbar, daybar):
    """
        检查bundle中的数据是否正确
    """


@cli.command()
@click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH, type=click.Path(file_okay=False),
              help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
@click.option("--sample", is_flag=True, help="下载数据样例")
@click.option("-f", "--file-path", default=None, help="指定的压缩文件包")
def download_data(data_bundle_path, sample, file_path):
    """
    下载样例回测数据。
    下载样例数据不使用corvina流量。
    """
