"""A DataFrame of a result's columns (the extension's Result.columns): the arrays are wrapped,
not copied cell by cell.

    int       pandas "Int64" (nullable; NULL is <NA>)
    bool      pandas "boolean" (nullable; NULL is <NA>)
    float     float64, NULL is NaN
    datetime  datetime64 (NULL is NaT); "date" columns are datetime64 at midnight
    time      timedelta64 since midnight (NULL is NaT)
    decimal   object of decimal.Decimal (or float64 when asked), NULL is None
    object    object of str / bytes, NULL is None

pandas before 2.0 holds datetime64 in nanoseconds only, which reach the years 1677 to 2262: a
date column with a value outside them becomes an object column of datetime.datetime (or
datetime.date) values instead of failing.
"""


def _pandas():
    try:
        import pandas
    except ImportError:
        raise ImportError("fetch_dataframe needs pandas (Debian: python3-pandas)") from None
    return pandas


def _dates(pd, kind, values):
    try:
        return pd.Series(values, copy=False)
    except (pd.errors.OutOfBoundsDatetime, OverflowError, ValueError):
        if kind == "date":
            values = values.astype("datetime64[D]")
        return pd.Series(values.astype(object), dtype=object)


def build(columns, first=0):
    """The DataFrame of ``columns`` [(name, kind, values, mask)], from row ``first`` on."""
    pd = _pandas()
    data = {}
    for i, (_name, kind, values, mask) in enumerate(columns):
        if first:
            values = values[first:]
            mask = None if mask is None else mask[first:]
        if kind == "int":
            data[i] = pd.arrays.IntegerArray(values, mask)
        elif kind == "bool":
            data[i] = pd.arrays.BooleanArray(values, mask)
        elif kind in ("datetime", "date"):
            data[i] = _dates(pd, kind, values)
        elif values.dtype == object:
            # Named as objects: handed a bare object array, pandas looks through every cell for
            # date-times to convert, which took ten times as long as the rest of the frame.
            data[i] = pd.Series(values, dtype=object, copy=False)
        else:
            data[i] = values
    # The keys are in column order already: naming the columns again (columns=) made pandas
    # take a path that copied every column, 0.35 s of a 100,000-row frame.
    frame = pd.DataFrame(data, copy=False)
    frame.columns = [name for name, _kind, _values, _mask in columns]
    return frame
