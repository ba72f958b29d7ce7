"""Labels that every machine can draw: industry names in plots.

The store's industry names are Chinese.  A plot labels its bars with them
when a font that has their glyphs is installed; matplotlib's cached font
list does not see fonts installed after the cache was built, so font files
on the system that the cache lacks are looked at too (and added to
matplotlib's list when they have the glyphs).  Without such a font the
plot uses English names for the store's industries and, for names it
cannot translate, the row number in the industry table ("#15"); the tables
keep the store's names.
"""

import unicodedata

# the industries of the store's two classifications (every version)
ENGLISH_INDUSTRY_NAMES = {
    "银行": "Banks",
    "非银行金融": "Non-bank finance",
    "非银金融": "Non-bank finance",
    "综合金融": "Diversified finance",
    "金融服务": "Financial services",
    "房地产": "Real estate",
    "建筑": "Construction",
    "建材": "Building materials",
    "建筑材料": "Building materials",
    "建筑建材": "Construction & materials",
    "建筑装饰": "Construction & decoration",
    "轻工制造": "Light industry",
    "机械": "Machinery",
    "机械设备": "Machinery & equipment",
    "电力设备及新能源": "Power equipment & new energy",
    "电力设备": "Power equipment",
    "电气设备": "Electrical equipment",
    "国防军工": "Defence",
    "汽车": "Autos",
    "交运设备": "Transport equipment",
    "商贸零售": "Retail & trade",
    "商业贸易": "Commerce & trade",
    "消费者服务": "Consumer services",
    "社会服务": "Social services",
    "休闲服务": "Leisure services",
    "餐饮旅游": "Catering & tourism",
    "家电": "Home appliances",
    "家用电器": "Household appliances",
    "纺织服装": "Textiles & apparel",
    "纺织服饰": "Textiles & fashion",
    "医药": "Pharmaceuticals",
    "医药生物": "Pharma & biotech",
    "食品饮料": "Food & beverage",
    "农林牧渔": "Agriculture",
    "基础化工": "Basic chemicals",
    "化工": "Chemicals",
    "石油石化": "Oil & petrochemicals",
    "采掘": "Mining",
    "煤炭": "Coal",
    "钢铁": "Steel",
    "黑色金属": "Ferrous metals",
    "有色金属": "Non-ferrous metals",
    "电子": "Electronics",
    "电子元器件": "Electronic components",
    "信息设备": "IT equipment",
    "计算机": "Computers",
    "信息服务": "IT services",
    "传媒": "Media",
    "通信": "Telecoms",
    "综合": "Conglomerates",
    "交通运输": "Transportation",
    "电力及公用事业": "Power & utilities",
    "公用事业": "Utilities",
    "环保": "Environmental services",
    "美容护理": "Beauty & personal care",
}

_FOUND = {}


def _font_files():
    """(font files matplotlib's font list holds, font files on the system
    it does not hold): the second are fonts installed since its cache was
    built."""
    from matplotlib import font_manager

    known = [f.fname for f in font_manager.fontManager.ttflist]
    seen = set(known)
    fresh = [path for path in font_manager.findSystemFonts() if path not in seen]
    return known, fresh


def _family_with_glyphs(path, chars):
    """The family name of the font file at ``path`` when it has a glyph
    for every character of ``chars``, else None.  A last-resort font (one
    placeholder glyph per Unicode block, which matplotlib ships) draws no
    character and never counts."""
    from matplotlib import ft2font

    try:
        font = ft2font.FT2Font(path)
        charmap = font.get_charmap()
    except Exception:  # a file FreeType cannot read is no candidate
        return None
    if font.family_name.lower().startswith("last resort"):
        return None
    return font.family_name if all(ord(c) in charmap for c in chars) else None


def font_with_glyphs(chars):
    """The family name of an installed font that draws every character of
    ``chars``, or None.  Looked up once per set of characters."""
    key = frozenset(chars)
    if key not in _FOUND:
        _FOUND[key] = _search(key)
    return _FOUND[key]


def _search(chars):
    from matplotlib import font_manager

    known, fresh = _font_files()
    for path in known:
        family = _family_with_glyphs(path, chars)
        if family:
            return family
    for path in fresh:
        family = _family_with_glyphs(path, chars)
        if family:
            font_manager.fontManager.addfont(path)
            return family
    return None


def _drawable(text):
    """True when the default font draws ``text``: Latin, Greek and
    Cyrillic letters, digits, punctuation and symbols of those scripts."""
    return all(ord(c) < 0x2E80 or unicodedata.category(c).startswith("Z") for c in text)


def plot_labels(names):
    """(labels, font) for axis labels of ``names``: the names themselves
    when the default font draws them or an installed font has their glyphs
    (``font`` is then that font's family, else None); otherwise the English
    name of a store industry, and None for a name that has neither (the
    caller labels it another way)."""
    text = [str(n) for n in names]
    if all(_drawable(t) for t in text):
        return text, None
    chars = {c for t in text for c in t if not _drawable(c)}
    font = font_with_glyphs(chars)
    if font is not None:
        return text, font
    return [t if _drawable(t) else ENGLISH_INDUSTRY_NAMES.get(t.strip()) for t in text], None
