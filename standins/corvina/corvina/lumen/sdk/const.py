"""Constants of the command line.

Stand-in: the data bundle lives under the user's home, and the categories are
the ones the update commands' help texts list.
"""
import os

# Where the data bundle lives unless -d/--data-bundle-path says otherwise.
DEFAULT_BUNDLE_PATH = os.path.join(os.path.expanduser("~"), ".corvina", "bundle")

# Categories that --minbar and --tick accept, with the instrument type each stands for.
TAG_MAP = {
    "stock": "CS",
    "futures": "Future",
    "fund": "ETF",
    "index": "INDX",
    "option": "Option",
    "convertible": "Convertible",
}

# Distributions whose versions matter to the data bundle.
CONCERNED_PACKAGES = ["corvina", "click", "numpy"]
