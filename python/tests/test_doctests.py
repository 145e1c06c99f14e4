import doctest

import powerquality
import powerquality.analysis
import powerquality.en50160
import powerquality.fleet


def test_examples_in_the_docstrings_run():
    for module in (powerquality, powerquality.analysis, powerquality.en50160, powerquality.fleet):
        result = doctest.testmod(module)
        assert result.attempted > 0 and result.failed == 0, module.__name__
