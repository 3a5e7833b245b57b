"""`python -m corvina`: the same program as the `corvina` command."""
from corvina.lumen.sdk.pylon import cli

if __name__ == "__main__":
    cli(prog_name="corvina")
