// placeholder; removed when the first real source lands
