# Types of corvina.lumen.sdk.pylon, the `corvina` command line: the group and
# its commands are click objects; each command's callback is typed by click.
import click
from corvina.lumen.sdk.const import (
    CONCERNED_PACKAGES as CONCERNED_PACKAGES,
    DEFAULT_BUNDLE_PATH as DEFAULT_BUNDLE_PATH,
    TAG_MAP as TAG_MAP,
)
from corvina.lumen.sdk.satchel import get_license_info as get_license_info, set_to_environ as set_to_environ

cli: click.Group
license: click.Command
shell: click.Command
update_data: click.Command
check_data: click.Command
download_data: click.Command
